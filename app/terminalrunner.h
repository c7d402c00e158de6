#pragma once

#include "app/commandline.h"
#include "app/runhost.h"
#include "update/updatestation.h"

#include <mutex>

// The update from a terminal: the same run as the window's, hosted without
// widgets. Standard output gets the lines the window's console would show,
// each flushed as it is written; the exit status tells how it ended.
class TerminalRunner : public ConfiguredRunHost
{
public:
    TerminalRunner(Configuration configuration, CommandLine commandLine);

    // Does what the command line asks; the process's exit status.
    int run();
    // Ctrl+C or a termination request, from any thread: ends at once, unless
    // the hoop is being programmed, which is finished first.
    void stopRequested();

    void updateUILog(const QString &text) override;
    std::optional<QString> selectedTableItemValue() const override { return m_selected; }
    std::optional<FirmwareFile> chosenFirmwareFile() const override { return m_file; }
    void setIsRunning(bool) override {}
    void stopSpinner() override {}
    std::optional<int> waitLimitSeconds() const override { return m_commandLine.timeoutSeconds; }
    void programmingBegins() override;
    void programmingEnds() override;

private:
    int listFirmware();
    // The firmware to install: a file from disk, or an entry of the catalogue.
    // Nothing when it is settled already, with the exit status in `status`.
    std::optional<QVariantList> choose(int &status);
    int updateOne(const QVariantList &firmwareList);
    int updateMany(const QVariantList &firmwareList);
    void setStatusIfStopped(int status);

    const CommandLine m_commandLine;
    std::optional<QString> m_selected;
    std::optional<FirmwareFile> m_file;
    bool m_toStandardError = false;

    std::mutex m_lock; // guards what follows, shared with the signal's thread
    bool m_programming = false;
    bool m_stopRequested = false;
    int m_statusIfStopped = ExitStatus::Interrupted;
};

// The exit status of a single run's outcome.
int exitStatusFor(UpdateRunOutcome outcome);
