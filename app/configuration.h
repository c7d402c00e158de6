#pragma once

#include "catalogue/cataloguefetch.h"
#include "update/dfutool.h"
#include "update/hoop.h"
#include "update/updaterun.h"

#include <QString>
#include <QStringList>

// Everything the program would otherwise have to be told at run time. The
// shipped program takes it from the build (fromBuild); tests, benchmarks and the
// demo build their own.
struct Configuration
{
    // Base address of the update server, without a trailing slash.
    QString updateServerUrl;
    // Reverse-DNS identifier; names the directory the firmware is downloaded to.
    QString bundleId;
    // Directories whose direct entries are the mounted removable volumes,
    // searched in this order; ones that do not exist yet are passed over.
    QStringList mountRoots;
    // Directory that holds the bundled tools ("dfu-programmer").
    QString resourceDir;
    // Where the system's dfu-programmer is looked for when resourceDir has
    // none; empty: nowhere else.
    QStringList systemToolDirs;
    // The program that fetches the window's catalogue at launch in a process
    // of its own (platform/fetchapart.h); empty: this process fetches it.
    QString fetchHelper;
    // Temporary directory no other user can write; the download directory is
    // made inside it.
    QString tempDir;
    // Upper bounds for each run of the DFU tool.
    DfuTimeouts dfuTimeouts;
    // The keys that must have signed the firmware list, and where the last
    // accepted list's timestamp is kept; no keys: the list is taken unsigned.
    CatalogueTrust catalogueTrust;
    // A firmware file to offer once the launch check is done, as if opened
    // from the menu; empty for none.
    QString firmwareFile;
    // The installation's settings file (app/systemconfig.h), read once the
    // rest is set; empty: none is read.
    QString systemSettingsFile;
    // Where updateServerUrl came from ("built in", the settings file, or
    // "--server"), what became of the settings file ("not present", "read",
    // "ignored: <why>"; empty: not looked at), and how many keys it added.
    QString serverOrigin = QStringLiteral("built in");
    QString systemSettingsNote;
    int systemSettingsKeys = 0;

    // The values compiled into this build, with the resource directory found
    // relative to the running executable. Needs the QCoreApplication.
    static Configuration fromBuild();

    // What an update run takes of it: where it fetches and keeps the image,
    // and where it finds the hoop.
    RunSettings runSettings() const { return {updateServerUrl, tempDir, bundleId}; }
    HoopSetup hoopSetup() const { return {mountRoots, resourceDir, systemToolDirs, dfuTimeouts}; }
    // How the window's launch check fetches: by way of fetchHelper.
    FetchLimits launchFetch() const
    {
        FetchLimits limits;
        limits.helperProgram = fetchHelper;
        return limits;
    }
};
