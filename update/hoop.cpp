#include "update/hoop.h"

#include "platform/devlog.h"
#include "update/toollocation.h"

#include <QDeadlineTimer>

#include <chrono>
#include <thread>
#include <utility>

namespace {

constexpr int kPortPollMs = 100;

} // namespace

Hoop::Hoop(QStringList mountRoots, QString toolPath, DfuTimeouts timeouts)
    : m_mountRoots(std::move(mountRoots)), m_toolPath(std::move(toolPath)), m_timeouts(timeouts)
{}

Hoop Hoop::atPort(const QString &port) const
{
    Hoop hoop = *this;
    hoop.m_port = port;
    return hoop;
}

std::optional<DfuTool> Hoop::tool(int waitMs) const
{
    if (m_port.isEmpty())
        return DfuTool(m_toolPath, m_timeouts);
    // A chip that enumerates again is off the bus for a moment.
    const QDeadlineTimer bound(waitMs);
    for (;;) {
        for (const UsbDevice &device : bootloaders().value_or(QList<UsbDevice>()))
            if (device.port == m_port) {
                m_lastTarget = dfuTarget(device.bus, device.address);
                return DfuTool(m_toolPath, m_timeouts, m_lastTarget);
            }
        if (bound.hasExpired())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPortPollMs));
    }
    devLog(QStringLiteral("No bootloader on USB port ") + m_port);
    if (!m_lastTarget.isEmpty())
        return DfuTool(m_toolPath, m_timeouts, m_lastTarget);
    return std::nullopt;
}

std::optional<HoopVolume> Hoop::getVexlumeHoopVolumeLabel() const
{
    return findHoopVolume(m_mountRoots);
}

bool Hoop::vexlumeHoopDFUDetected() const
{
    std::optional<DfuTool> t = tool();
    return t && t->detected();
}

bool Hoop::vexlumeHoopErase() const
{
    std::optional<DfuTool> t = tool();
    return t && t->erase();
}

bool Hoop::vexlumeHoopFlash(const QString &imagePath) const
{
    std::optional<DfuTool> t = tool();
    return t && t->flash(imagePath);
}

bool Hoop::vexlumeHoopReset() const
{
    std::optional<DfuTool> t = tool();
    return t && t->reset();
}

bool Hoop::vexlumeHoopStart() const
{
    // A reset may have sent the chip off the bus already: that is what a
    // start wants, so it is not waited for.
    std::optional<DfuTool> t = tool(0);
    return t && t->start();
}

std::optional<QList<UsbDevice>> Hoop::usbDevices(quint16 vendorId, int productId) const
{
    return listUsbDevices(vendorId, productId);
}

Hoop HoopSetup::hoop() const
{
    return Hoop(mountRoots, findDfuTool(resourceDir, systemToolDirs), dfuTimeouts);
}
