#pragma once

#include "update/updaterun.h"
#include "update/updatestation.h"

#include <functional>

// What a parallel station tells of each hoop once it is done with it.
struct HoopResult
{
    HoopIdentity identity; // its port, and its serial when its volume showed one
    UpdateRunOutcome outcome = UpdateRunOutcome::Aborted;
    double seconds = 0; // from the request on its volume (or its bootloader) to the end
    QString firmware;   // the image's name
    QString sha256;     // the image's digest, lower-case hex
};

// Many hoops at once, with one image: every hoop volume that appears gets the
// request at once, and every bootloader that appears on the bus is programmed
// by a tool of its own, addressed by the port it is plugged into. Each hoop's
// lines carry its port (or, before its bootloader is seen, its serial or
// volume label) as a prefix, "[1-2] Erasing...", and one line tells how it
// went. A port's next hoop is taken once the last one has left it.
//
// Ends when no hoop is being handled and none has appeared within the wait
// limit, when the tool or the bus can't be used, or once `keepGoing`, asked
// with the tally before each look for new hoops, says no: then the hoops
// being programmed are finished first. `hoopDone` is called on the calling
// thread for each hoop.
StationTally runParallelStation(const Hoop &hoop, const PreparedImage &image,
                                std::optional<int> waitLimitSeconds, RunObserver &observer,
                                const std::function<bool(const StationTally &)> &keepGoing,
                                const std::function<void(const HoopResult &)> &hoopDone);
