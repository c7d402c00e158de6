#pragma once

#include "app/commandline.h"
#include "app/configuration.h"
#include "update/stationlog.h"
#include "update/updaterunner.h"

#include <atomic>
#include <memory>
#include <optional>

// The update from a terminal: the same run as the window's, reported on
// standard output instead of the console, each line flushed as it is
// written; the exit status tells how it ended.
class TerminalRunner : private RunObserver
{
public:
    TerminalRunner(Configuration configuration, CommandLine commandLine);

    // Does what the command line asks; the process's exit status.
    int run();
    // Ctrl+C or a termination request, from any thread: ends at once, unless
    // the hoop is being programmed, which is finished first.
    void stopRequested();

private:
    void updateUILog(const QString &text) override;
    int listFirmware();
    // What to install: a file from disk, or an entry of the catalogue.
    // Nothing when it is settled already, with the exit status in `status`.
    std::optional<UpdateRequest> choose(int &status);
    int updateOne(const UpdateRequest &request);
    int updateMany(const UpdateRequest &request);
    // Adds a parallel station's hoop to the log, when there is one.
    void record(const HoopResult &result);

    const Configuration m_configuration;
    const CommandLine m_commandLine;
    bool m_toStandardError = false;
    UpdateRunner m_runner;
    std::unique_ptr<StationLog> m_log;
    bool m_logFailed = false;
    // The status of a stop between hoops: how the station has gone so far.
    std::atomic<int> m_statusIfStopped{ExitStatus::Interrupted};
};

// The exit status of a single run's outcome.
int exitStatusFor(UpdateRunOutcome outcome);
