#include "update/hoop.h"

#include "update/toollocation.h"

#include <utility>

Hoop::Hoop(QStringList mountRoots, QString toolPath, DfuTimeouts timeouts)
    : m_mountRoots(std::move(mountRoots)), m_toolPath(std::move(toolPath)), m_timeouts(timeouts)
{}

std::optional<HoopVolume> Hoop::getVexlumeHoopVolumeLabel() const
{
    return findHoopVolume(m_mountRoots);
}

bool Hoop::vexlumeHoopDFUDetected() const
{
    return tool().detected();
}

bool Hoop::vexlumeHoopErase() const
{
    return tool().erase();
}

bool Hoop::vexlumeHoopFlash(const QString &imagePath) const
{
    return tool().flash(imagePath);
}

bool Hoop::vexlumeHoopReset() const
{
    return tool().reset();
}

bool Hoop::vexlumeHoopStart() const
{
    return tool().start();
}

std::optional<QList<UsbDevice>> Hoop::usbDevices(quint16 vendorId, int productId) const
{
    return listUsbDevices(vendorId, productId);
}

Hoop HoopSetup::hoop() const
{
    return Hoop(mountRoots, findDfuTool(resourceDir, systemToolDirs), dfuTimeouts);
}
