#pragma once

#include "platform/usbdevices.h"
#include "update/dfutool.h"
#include "update/hoopvolume.h"

#include <QString>
#include <QStringList>

#include <optional>

// The hoop as an update reaches it: its storage volume under the mount roots,
// and its DFU bootloader through the DFU tool. Every call blocks until it has
// an answer, so it belongs on the thread that carries the run.
class Hoop
{
public:
    // A null toolPath stands for a missing tool: every bootloader call then
    // throws DfuToolError.
    Hoop(QStringList mountRoots, QString toolPath, DfuTimeouts timeouts = {});

    // The volume, with the root it was found under; nothing while none is mounted.
    std::optional<HoopVolume> getVexlumeHoopVolumeLabel() const;
    bool vexlumeHoopDFUDetected() const;
    bool vexlumeHoopErase() const;
    bool vexlumeHoopFlash(const QString &imagePath) const;
    bool vexlumeHoopReset() const;
    bool vexlumeHoopStart() const;
    // The USB devices of a vendor and product now, each tried for opening;
    // nothing when USB cannot be looked at.
    std::optional<QList<UsbDevice>> usbDevices(quint16 vendorId, int productId) const;

    // The AT32UC3B bootloaders on the bus now (03eb:2ff6), each with its port.
    std::optional<QList<UsbDevice>> bootloaders() const { return usbDevices(0x03eb, 0x2ff6); }

    // This hoop as the one on a USB port among several: every bootloader call
    // addresses the chip on that port, at the address it has at that moment,
    // so that one that enumerated again is still the same hoop. A call finds
    // no hoop (NO) when the port has had no bootloader for a few seconds.
    Hoop atPort(const QString &port) const;
    const QString &port() const { return m_port; }

    // Throws DfuToolError unless the tool really runs (see DfuTool::check).
    void checkTool() const { DfuTool(m_toolPath, m_timeouts).check(); }
    const QString &toolPath() const { return m_toolPath; }
    const QStringList &mountRoots() const { return m_mountRoots; }
    const DfuTimeouts &timeouts() const { return m_timeouts; }

private:
    // The tool aimed at the hoop; nothing when a port's chip can't be found
    // within `waitMs`, unless it was found before: then it is aimed where the
    // chip was last seen, which answers "no device present".
    std::optional<DfuTool> tool(int waitMs = kReenumerateMs) const;
    static constexpr int kReenumerateMs = 5000;

    QStringList m_mountRoots;
    QString m_toolPath;
    DfuTimeouts m_timeouts;
    QString m_port; // empty: the first bootloader the tool finds
    mutable QString m_lastTarget;
};

// Where the hoop is looked for and how its bootloader is reached; the tool is
// looked up at each run, so that one installed meanwhile is found.
struct HoopSetup
{
    QStringList mountRoots;
    QString resourceDir;        // holds the bundled "dfu-programmer"
    QStringList systemToolDirs; // where the system's is looked for without it
    DfuTimeouts dfuTimeouts;

    Hoop hoop() const;
};
