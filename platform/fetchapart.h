#pragma once

#include "platform/curltransfer.h"

#include <QString>

#include <optional>

// A transfer made by the fetching program ("hoop-updater-fetch"), a process
// of its own that links nothing but libcurl and hands back what runTransfer
// gave it. The window's launch fetches this way: loading libcurl's
// thirty-odd libraries in the window's process takes the loader's lock and
// the address space's while the window is being built, and delays it by more
// than the whole fetch takes apart.

// The fetching program of this installation, beside the program's own
// directory; empty when it has none.
QString installedFetchHelper();

// Nothing when `program` can't be started or its answer is not one (it
// crashed, was killed, or wrote something else): the caller then fetches
// itself. A program that answers nothing within the request's own time
// limits and then some is stopped, and the transfer has timed out.
std::optional<Transfer> transferApart(const QString &program, const TransferRequest &request);
