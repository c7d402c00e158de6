#pragma once

#include "platform/curlapi.h"

#include <optional>
#include <string>
#include <vector>

// One GET as libcurl makes it, before anything is read into it. Free of Qt,
// so that the fetching program (platform/fetchapart.h) runs it with nothing
// loaded but libcurl; fetchResource (platform/httpfetch.h) runs the same
// code in this process and reads the outcome the same way either way.

// FetchLimits' values, in plain types.
struct TransferLimits
{
    long connectTimeoutSeconds = 10;
    long stallSeconds = 15;
    long totalSeconds = 300;
    long long maxBytes = 4 * 1024 * 1024;
    long maxRedirects = 5;
    std::string caFile; // empty: the system's CA store
};

struct Transfer
{
    bool setUp = false;    // false: libcurl refused a handle or an option; nothing was sent
    int code = CURLE_OK;   // of curl_easy_perform
    long osErrno = 0;      // CURLINFO_OS_ERRNO: why a connection failed
    bool overflow = false; // the body passed maxBytes and was cut off
    long httpStatus = 0;   // of the last answer; 0 when none came
    std::string reason;    // the last status line's reason phrase, as sent; may be empty
    std::string contentType;
    std::string error; // libcurl's text for `code`, with its detail when it gave one
    std::string body;  // what came, up to maxBytes
};

// Blocking; only http and https, redirects bounded, limits enforced while
// receiving. `url` must already be an absolute, encoded http(s) URL.
Transfer runTransfer(const CurlApi &api, const std::string &url, const TransferLimits &limits);

// The fetching program's command line after its own name, and back again.
struct TransferRequest
{
    std::string url;
    TransferLimits limits;
};
std::vector<std::string> transferArguments(const TransferRequest &request);
std::optional<TransferRequest> parseTransferArguments(const std::vector<std::string> &arguments);

// The fetching program's answer on its standard output, and back again.
// Nothing when `answer` is not exactly one whole answer.
std::string encodeTransfer(const Transfer &transfer);
std::optional<Transfer> decodeTransfer(const std::string &answer);
