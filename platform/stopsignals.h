#pragma once

#include <functional>

// Ctrl+C (SIGINT), termination requests (SIGTERM) and a closed terminal or
// an ended session (SIGHUP), taken from their
// default handling, which ends the process wherever it is, and handed to
// `onStop` on a thread of their own, once per signal. Make the object before
// any other thread, so that every thread leaves the signals to it; the
// program's children get them back (see DfuTool). It lives until the process
// ends.
class StopSignals
{
public:
    explicit StopSignals(std::function<void(int signal)> onStop);
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
};
