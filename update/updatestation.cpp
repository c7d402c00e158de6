#include "update/updatestation.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <chrono>
#include <thread>

namespace {

// Time an updated hoop gets to show its volume again, and how long both
// faces must stay away before the hoop counts as gone.
constexpr int kComeBackMs = 20000;
constexpr int kAwayMs = 1000;
constexpr int kPollMs = 200;

QString summary(const StationTally &tally, const PreparedImage &image, bool updated)
{
    return QStringLiteral("Hoop %1: %2 (%3 updated, %4 failed)\n")
        .arg(tally.hoops)
        .arg(updated ? QStringLiteral("updated to ") + image.version
                     : QStringLiteral("not updated"))
        .arg(tally.updated)
        .arg(tally.failed);
}

} // namespace

StationTally runStation(const Hoop &hoop, const PreparedImage &image,
                        std::optional<int> waitLimitSeconds, RunObserver &observer,
                        const std::function<bool(const StationTally &)> &afterEachHoop)
{
    StationTally tally;
    for (;;) {
        const UpdateRunOutcome outcome = programHoop(hoop, image, waitLimitSeconds, observer);
        tally.ending = outcome;
        if (outcome == UpdateRunOutcome::NoHoopInTime ||
            outcome == UpdateRunOutcome::ToolUnavailable)
            return tally;
        const bool updated = outcome == UpdateRunOutcome::Succeeded;
        ++tally.hoops;
        ++(updated ? tally.updated : tally.failed);
        observer.updateUILog(summary(tally, image, updated));
        if (!afterEachHoop(tally))
            return tally;
        waitUntilHoopGone(hoop, updated);
    }
}

void waitUntilHoopGone(const Hoop &hoop, bool updated)
{
    const QDeadlineTimer comeBack(updated ? kComeBackMs : 0);
    // Only its volume shows that an updated hoop has restarted: its
    // bootloader may still answer for a moment after the start.
    bool cameBack = !updated;
    QElapsedTimer away;
    for (;;) {
        const bool volume = hoop.getVexlumeHoopVolumeLabel().has_value();
        if (volume || hoop.vexlumeHoopDFUDetected()) {
            cameBack = cameBack || volume;
            away.invalidate();
        } else if (!away.isValid()) {
            away.start();
        } else if ((cameBack || comeBack.hasExpired()) && away.elapsed() >= kAwayMs) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}
