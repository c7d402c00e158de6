#pragma once

#include <QString>
#include <QStringList>

// Where the platform keeps things the program needs to find at run time.

// The program's resource directory: Contents/Resources inside a macOS bundle,
// otherwise <prefix>/share/hoop-updater beside <prefix>/bin, which is also the
// layout of the build tree. Needs a QCoreApplication.
QString applicationResourceDir();

// The directories under which removable volumes appear, to be searched in this
// order: "/Volumes" on macOS; on Linux the current user's removable-media
// roots, /run/media/<user> (Fedora, Arch) and /media/<user> (Debian, Ubuntu).
// Neither may exist yet: each appears when its first volume is mounted.
QStringList defaultMountRoots();

// A temporary directory that is the user's own, which no other user can
// write: the per-user temporary directory on macOS, the runtime directory
// elsewhere. Empty when there is none.
QString privateTempDir();

// Where the user's program state is kept across runs: $XDG_STATE_HOME when it
// is an absolute path, else ~/.local/state; Application Support on macOS.
// Empty when there is no home directory to put it in.
QString userStateDir();
