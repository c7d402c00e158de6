#pragma once

#include "platform/usbdevices.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QObject;

struct Configuration;

// Everything a support request needs.
struct DiagnosticInputs
{
    QString programVersion;
    QString qtVersion;
    QString operatingSystem;
    QString toolPath;        // null when the program has no bundled tool
    bool toolBundled = true; // the program's own copy, not the system's
    QString toolVersion;     // what the tool said to "--version", or why nothing
    QString updateServerUrl;
    QStringList serverDetails;                  // where it came from, the keys, the settings file
    std::optional<QList<UsbDevice>> usbDevices; // empty optional: USB could not be looked at
    QString consoleText;
    QStringList devLogLines;
};

// The report as plain text: a title, then sections headed "== name ==", each
// followed by its lines and a blank line; the console and the developer log
// come last, verbatim, since they are the longest.
QString diagnosticReport(const DiagnosticInputs &inputs);

// Gathers it: versions, the bundled tool and what it says to "--version",
// the server, the USB devices of vendor 03eb (each tried for opening only
// when openDevices is set), the console's text and the developer log.
DiagnosticInputs gatherDiagnostics(const Configuration &configuration, bool openDevices,
                                   const QString &consoleText);

// Gathers and writes the report on a thread of its own (asking the tool for
// its version may take seconds), then hands it to `done` on the thread that
// `context` lives in; nothing is handed over once `context` is gone.
void buildDiagnosticReport(const Configuration &configuration, bool openDevices,
                           const QString &consoleText, QObject *context,
                           const std::function<void(const QString &report)> &done);
