#pragma once

#include "app/configuration.h"

#include <QString>
#include <QStringList>

#include <sys/types.h>

// The installation's settings file: the update server's address and the
// minisign keys that a distribution or an administrator sets for every user
// of the machine. One setting per line, "name = value"; "#" starts a comment
// line; blank lines are skipped:
//
//     server = https://updates.example.com
//     public-key = RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3
//
// "server" may come once, "public-key" any number of times.
struct SystemSettings
{
    enum class State { Absent, Read, Ignored };
    State state = State::Absent;
    QString reason;         // Ignored: why, as a phrase ("it is writable by its group")
    QString serverUrl;      // Read: the server's base address, or empty when not set
    QStringList publicKeys; // Read: the keys it names, in its order
};

// The largest settings file read; a bigger one is not a settings file.
inline constexpr qint64 systemSettingsMaxBytes = 64 * 1024;

// Reads the file at `path`. Anything a user other than `owner` could have
// written is ignored as a whole, the address included: the file must be a
// regular file owned by `owner` in a directory owned by `owner`, neither
// writable by group or others. A line that is not understood makes the whole
// file ignored too, so a half-read file never drops a key the rest relied on.
SystemSettings readSystemSettings(const QString &path, uid_t owner = 0);

// `text` as a base address the program can use: http or https, a host, no
// query or fragment, trailing slashes dropped. Null when it is not one, with
// why in *problem.
QString serverBaseUrl(const QString &text, QString *problem = nullptr);

// Completes a configuration the build (and `adjust`) made: the settings file
// it names, then `serverOverride` (--server; empty for none) for the address.
// Keys from the file add to the ones already there. Returns the warning to
// show when the file was ignored, empty otherwise.
QString applySystemSettings(Configuration &configuration, const QString &serverOverride);

// What --version, the diagnostic report and the developer log say about the
// server, the keys and the settings file: one line each.
QStringList configurationSummary(const Configuration &configuration);
