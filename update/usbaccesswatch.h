#pragma once

#include "platform/usbdevices.h"

#include <QElapsedTimer>

#include <functional>
#include <optional>

// Notices the hoop's bootloader on the bus when this user may not open it:
// the DFU tool then answers only "no device present.", exactly as for an
// unplugged hoop, and the waits would go on in silence. The waits call poll()
// on every attempt; it looks at the bus at most once a second, so it never
// sets the waits' pace. A refusal seen on two looks in a row counts, never a
// single one: udev needs a moment to apply its rule to a device that has just
// appeared.
class UsbAccessWatch
{
public:
    // Lists the bootloader devices, trying to open each; an empty optional
    // when USB cannot be looked at.
    using Lister = std::function<std::optional<QList<UsbDevice>>()>;
    explicit UsbAccessWatch(Lister list);

    // The refused device, the first time a refusal counts; nothing before and
    // nothing ever after.
    std::optional<UsbDevice> poll();
    // The same against a given clock, in milliseconds.
    std::optional<UsbDevice> poll(qint64 nowMs);

    static constexpr qint64 intervalMs = 1000;

private:
    Lister m_list;
    QElapsedTimer m_clock;
    std::optional<qint64> m_lastLookMs;
    std::optional<qint64> m_refusedSinceMs;
    bool m_reported = false;
};
