#include "update/updatestation.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// Time an updated hoop gets to show its volume again, and how long both
// faces must stay away before the hoop counts as gone.
constexpr int kComeBackMs = 20000;
constexpr int kAwayMs = 1000;
constexpr int kPollMs = 200;

} // namespace

QString stationSummary(const StationTally &tally, const PreparedImage &image, bool updated,
                       const QString &serial)
{
    return QStringLiteral("Hoop %1%2: %3 (%4 updated, %5 failed)\n")
        .arg(tally.hoops)
        .arg(serial.isEmpty() ? QString() : QStringLiteral(" (") + serial + u')')
        .arg(updated ? QStringLiteral("updated to ") + image.version
                     : QStringLiteral("not updated"))
        .arg(tally.updated)
        .arg(tally.failed);
}

namespace {

// Whether the hoop's bootloader is there: the one on its port when that is
// known and the bus can be looked at, otherwise any.
bool bootloaderThere(const Hoop &hoop, const QString &port)
{
    if (!port.isEmpty())
        if (const std::optional<QList<UsbDevice>> chips = hoop.bootloaders())
            return std::any_of(chips->begin(), chips->end(),
                               [&](const UsbDevice &chip) { return chip.port == port; });
    return hoop.vexlumeHoopDFUDetected();
}

} // namespace

StationTally runStation(const Hoop &hoop, const PreparedImage &image,
                        std::optional<int> waitLimitSeconds, RunObserver &observer,
                        const std::function<bool(const StationTally &)> &afterEachHoop)
{
    StationTally tally;
    for (;;) {
        HoopIdentity identity;
        const UpdateRunOutcome outcome =
            programHoop(hoop, image, waitLimitSeconds, observer, &identity);
        tally.ending = outcome;
        if (outcome == UpdateRunOutcome::NoHoopInTime ||
            outcome == UpdateRunOutcome::ToolUnavailable)
            return tally;
        const bool updated = outcome == UpdateRunOutcome::Succeeded;
        ++tally.hoops;
        ++(updated ? tally.updated : tally.failed);
        observer.updateUILog(stationSummary(tally, image, updated));
        if (!afterEachHoop(tally))
            return tally;
        waitUntilHoopGone(hoop, updated, identity);
    }
}

bool isSameHoop(const HoopIdentity &hoop, const HoopIdentity &seen)
{
    if (!hoop.port.isEmpty() && !seen.port.isEmpty())
        return hoop.port == seen.port;
    if (!hoop.serial.isEmpty() && !seen.serial.isEmpty())
        return hoop.serial == seen.serial;
    return true;
}

HoopDeparture::HoopDeparture(bool updated)
    : m_comeBack(updated ? kComeBackMs : 0), m_cameBack(!updated)
{}

bool HoopDeparture::gone(bool volume, bool bootloader)
{
    if (volume || bootloader) {
        m_cameBack = m_cameBack || volume;
        m_away.invalidate();
    } else if (!m_away.isValid()) {
        m_away.start();
    } else if ((m_cameBack || m_comeBack.hasExpired()) && m_away.elapsed() >= kAwayMs) {
        return true;
    }
    return false;
}

void waitUntilHoopGone(const Hoop &hoop, bool updated, const HoopIdentity &identity)
{
    HoopDeparture departure(updated);
    for (;;) {
        bool volume = false;
        for (const HoopVolume &seen : findHoopVolumes(hoop.mountRoots()))
            volume = volume || isSameHoop(identity, volumeIdentity(seen));
        // The bootloader is looked for only when it matters: a tool run each.
        if (departure.gone(volume, !volume && bootloaderThere(hoop, identity.port)))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}
