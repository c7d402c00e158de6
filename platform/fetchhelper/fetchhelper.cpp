// hoop-updater-fetch URL CONNECT STALL TOTAL MAX-BYTES MAX-REDIRECTS [CA-FILE]
//
// The fetching program the window starts at launch (platform/fetchapart.h):
// one transfer with the given limits, its answer on standard output. Links
// libcurl and nothing of Qt, so that it is done before the window is. Not
// meant to be run by hand.

#include "platform/curltransfer.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

int main(int argc, char *argv[])
{
#ifdef __linux__
    // Nobody is left to read the answer once the thread that asked is gone.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    const std::optional<TransferRequest> request =
        parseTransferArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!request) {
        std::fputs("usage: hoop-updater-fetch URL CONNECT STALL TOTAL MAX-BYTES MAX-REDIRECTS "
                   "[CA-FILE]\n",
                   stderr);
        return 2;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return 3; // the asker fetches itself, and says why when it can't either
    const CurlApi api{&curl_easy_init,    &curl_easy_setopt,  &curl_easy_perform,
                      &curl_easy_getinfo, &curl_easy_cleanup, &curl_easy_strerror};
    const std::string answer = encodeTransfer(runTransfer(api, request->url, request->limits));
    const bool written = std::fwrite(answer.data(), 1, answer.size(), stdout) == answer.size() &&
                         std::fflush(stdout) == 0;
    // Straight out: the asker waits for this process to end, and libcurl's
    // and the TLS library's clean-up would only delay that.
    _exit(written ? 0 : 1);
}
