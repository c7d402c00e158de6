#pragma once

#include <QString>

// Checks that keep files we later act on (a firmware image that is flashed)
// out of reach of the machine's other users.

// Empty when path is a directory itself (not a link to one), owned by the
// user running the program, and writable by nobody else; otherwise why not.
QString privateDirectoryProblem(const QString &path);

// Empty when path is a directory in which no other user can remove or rename
// what we make: owned by us or by the superuser, and either writable by no
// one else or sticky (as /tmp is); otherwise why not.
QString safeParentProblem(const QString &path);
