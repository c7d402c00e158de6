#pragma once

#include "update/updaterun.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QString>

#include <functional>

// Many hoops, one after another, with one image: for a bench where a box of
// hoops is updated before shipping.

struct StationTally
{
    int hoops = 0; // hoops handled so far
    int updated = 0;
    int failed = 0;
    // Why the station stopped: no hoop came in time, the tool can't be
    // started, or the last hoop's own outcome when it was told to stop.
    UpdateRunOutcome ending = UpdateRunOutcome::Succeeded;
};

// The line that tells how a station's hoop went, with the tally so far:
// "Hoop 2: updated to fw-1.2 (2 updated, 0 failed)", or with the hoop's
// serial when one is given: "Hoop 2 (VH-000123): updated to ...".
QString stationSummary(const StationTally &tally, const PreparedImage &image, bool updated,
                       const QString &serial = {});

// Waits for a hoop, programs it with the image, tells how it went in one
// line, waits until that hoop has gone and starts again. Ends when no hoop
// appears within the wait limit, when the tool can't be started, or when
// `afterEachHoop`, asked with the tally after every hoop, says no. Throws
// what the hoop's operations throw.
StationTally runStation(const Hoop &hoop, const PreparedImage &image,
                        std::optional<int> waitLimitSeconds, RunObserver &observer,
                        const std::function<bool(const StationTally &)> &afterEachHoop);

// The rule for when a hoop that was done with has gone: neither its volume
// nor its bootloader for a second. An updated hoop restarts into its new
// firmware and shows its volume again a few seconds later, while its
// bootloader may still answer for a moment after the start: it has gone only
// once that volume has come and gone (or it has had ample time to come).
class HoopDeparture
{
public:
    explicit HoopDeparture(bool updated);
    // One look at the hoop's faces; true once it has gone.
    bool gone(bool volume, bool bootloader);
    // Whether its volume was seen since; always for a hoop not updated.
    bool cameBack() const { return m_cameBack; }

private:
    QDeadlineTimer m_comeBack;
    bool m_cameBack;
    QElapsedTimer m_away;
};

// Waits until neither the hoop's volume nor its bootloader is there. An
// updated hoop restarts into its new firmware and shows its volume again a
// few seconds later: until that volume has come and gone (or it has had
// ample time to come), the hoop has not gone, so that it is never taken for
// the next one and flashed twice. Other hoops already plugged in don't hold
// the wait up, as far as `identity` tells them apart.
void waitUntilHoopGone(const Hoop &hoop, bool updated, const HoopIdentity &identity = {});

// Whether what a volume shows may be the hoop: the same port when both are
// known, else the same serial when both are known, else yes.
bool isSameHoop(const HoopIdentity &hoop, const HoopIdentity &seen);
