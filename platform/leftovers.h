#pragma once

#include <QString>

// What a run keeps only for the tool (the checked image, a directory made for
// it) lasts as long as the program: it is removed when the program ends,
// however it ends short of a crash, and what a crashed program left is
// removed at the next start.

// Marks `directory` as this process's, and `path` (a file in it, or the
// directory itself when it was made for this process alone) for removal.
void keepUntilExit(const QString &directory, const QString &path);
// Removes what was marked, now.
void removeKept();
// Ends the process at once with `status`, output flushed and what was marked
// removed. For the paths that can't wait for threads to finish.
[[noreturn]] void exitProcess(int status);
// Removes, under tempDir, what processes that no longer exist left in the
// download directory <bundleId> and in the directories <bundleId>-XXXXXX.
void removeStaleLeftovers(const QString &tempDir, const QString &bundleId);
