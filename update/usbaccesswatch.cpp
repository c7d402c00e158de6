#include "update/usbaccesswatch.h"

UsbAccessWatch::UsbAccessWatch(Lister list) : m_list(std::move(list))
{
    m_clock.start();
}

std::optional<UsbDevice> UsbAccessWatch::poll()
{
    return poll(m_clock.elapsed());
}

std::optional<UsbDevice> UsbAccessWatch::poll(qint64 nowMs)
{
    if (m_reported || (m_lastLookMs && nowMs - *m_lastLookMs < intervalMs))
        return std::nullopt;
    m_lastLookMs = nowMs;

    const std::optional<QList<UsbDevice>> devices = m_list();
    std::optional<UsbDevice> refused;
    for (const UsbDevice &device : devices.value_or(QList<UsbDevice>())) {
        if (device.access == UsbAccess::Denied)
            refused = device;
    }
    // Any look without a refusal starts the count again.
    if (!refused) {
        m_refusedSinceMs.reset();
        return std::nullopt;
    }
    if (!m_refusedSinceMs) {
        m_refusedSinceMs = nowMs;
        return std::nullopt;
    }
    if (nowMs - *m_refusedSinceMs < intervalMs)
        return std::nullopt;
    m_reported = true;
    return refused;
}
