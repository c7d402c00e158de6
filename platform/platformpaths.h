#pragma once

#include <QString>

// Where the platform keeps things the program needs to find at run time.

// The program's resource directory: Contents/Resources inside a macOS bundle,
// otherwise <prefix>/share/hoop-updater beside <prefix>/bin, which is also the
// layout of the build tree. Needs a QCoreApplication.
QString applicationResourceDir();

// The directory under which removable volumes appear: "/Volumes" on macOS; on
// Linux the current user's removable-media root, /media/<user> or
// /run/media/<user>, whichever exists (the first when neither does yet).
QString defaultMountRoot();
