#pragma once

#include "app/configuration.h"
#include "platform/sleepinhibitor.h"
#include "update/updaterun.h"

#include <QMutex>
#include <QString>

// What the window's controller and the terminal's runner share as hosts of
// the update run: the places the configuration names, and the hoop reached
// through them (its volume under the mount roots, its bootloader through the
// DFU tool at the current tool path).
class ConfiguredRunHost : public UpdateRunHost
{
public:
    explicit ConfiguredRunHost(Configuration configuration);

    const Configuration &configuration() const { return m_configuration; }

    // A null string stands for "no tool path".
    QString dfuToolPath() const;
    void setDfuToolPath(const QString &path) override;
    // The tool in the resource directory; null when there is none.
    QString bundledToolPath() const override;

    QString updateServerUrl() const override { return m_configuration.updateServerUrl; }
    QString tempDir() const override { return m_configuration.tempDir; }
    QString bundleId() const override { return m_configuration.bundleId; }

    // The hoop: its volume and the DFU tool driver, run with the current tool path.
    std::optional<HoopVolume> getVexlumeHoopVolumeLabel() override;
    bool vexlumeHoopDFUDetected() override;
    bool vexlumeHoopErase() override;
    bool vexlumeHoopFlash(const QString &imagePath) override;
    bool vexlumeHoopReset() override;
    bool vexlumeHoopStart() override;
    std::optional<QList<UsbDevice>> usbDevices(quint16 vendorId, int productId) override;

    // Keeps the computer awake while it lives: a suspend in the middle of a
    // flash leaves the hoop half-written. May block a moment; not on the
    // window's thread.
    static SleepInhibitor keepAwakeForUpdate();

protected:
    const Configuration m_configuration;

private:
    mutable QMutex m_dfuToolPathLock;
    QString m_dfuToolPath;
};
