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

    // Throws DfuToolError unless the tool really runs (see DfuTool::check).
    void checkTool() const { tool().check(); }
    const QString &toolPath() const { return m_toolPath; }

private:
    DfuTool tool() const { return DfuTool(m_toolPath, m_timeouts); }

    QStringList m_mountRoots;
    QString m_toolPath;
    DfuTimeouts m_timeouts;
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
