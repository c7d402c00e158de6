#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The program's arguments, read by one parser for both modes: the window
// (the default) and the terminal (--cli).
struct CommandLine
{
    enum class Action { Window, Terminal, Help, Version, Error };
    Action action = Action::Window;
    QString error;         // Action::Error: what is wrong, one line
    QString firmwareFile;  // a firmware file from disk to offer or install
    QString firmwareName;  // --firmware: a catalogue entry by its listed name
    bool list = false;     // --list
    bool repeat = false;   // --repeat: one hoop after another
    bool parallel = false; // --parallel: with --repeat, every hoop at once
    QString logFile;       // --log: the parallel station's record of each hoop
    QString serverUrl;     // --server: the update server for this run; empty: the configured one
    std::optional<int> timeoutSeconds;
};

// `arguments` as the process got them, the program's name first.
CommandLine parseCommandLine(const QStringList &arguments);

// --help's text: options, arguments and exit status.
QString commandLineHelp();
// The one line that follows an error in the arguments.
QString commandLineUsage();

// The terminal's exit status, as --help lists it.
namespace ExitStatus {
constexpr int Success = 0;
constexpr int Failure = 1; // anything below not listed, and a station with a hoop not updated
constexpr int CatalogueUnavailable = 2;
constexpr int ImageRefused = 3;
constexpr int RequestNotWritten = 4;
constexpr int TimedOut = 5;
constexpr int BadArguments = 64;
constexpr int NoDisplay = 69; // the window was asked for, and there is no display to show it on
constexpr int Interrupted = 130;
} // namespace ExitStatus
