#pragma once

#include <QString>
#include <QStringList>

// Where the system's own dfu-programmer is looked for once the program's
// resource directory has none: a distribution's package puts it here.
QStringList systemDfuToolDirs();

// The DFU tool to run: "dfu-programmer" in `resourceDir` when it is a file
// there (a plain build and the macOS bundle carry their own copy, and a broken
// one must be reported, not passed over), else the first executable file of
// that name in `systemDirs`. Null when there is none.
QString findDfuTool(const QString &resourceDir,
                    const QStringList &systemDirs = systemDfuToolDirs());

// True when `toolPath` is the copy in `resourceDir`, not the system's.
bool isBundledDfuTool(const QString &toolPath, const QString &resourceDir);
