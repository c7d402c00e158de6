#include "platform/curltransfer.h"

#include <charconv>
#include <memory>

namespace {

struct Sink
{
    std::string body;
    long long maxBytes = 0;
    bool overflow = false;
    // Of the last status line: a redirect or a "100 Continue" comes before the answer.
    std::string reason;
};

size_t writeBody(char *data, size_t size, size_t count, void *userdata)
{
    auto *sink = static_cast<Sink *>(userdata);
    const size_t n = size * count;
    // Enforced while receiving: returning short aborts the transfer, so a huge
    // or endless body never gets buffered.
    if (static_cast<long long>(sink->body.size() + n) > sink->maxBytes) {
        sink->overflow = true;
        return 0;
    }
    sink->body.append(data, n);
    return n;
}

std::string trimmed(std::string text)
{
    const char *space = " \t\r\n";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

size_t readHeader(char *data, size_t size, size_t count, void *userdata)
{
    auto *sink = static_cast<Sink *>(userdata);
    const std::string line = trimmed(std::string(data, size * count));
    // "HTTP/1.1 502 Bad Gateway"; HTTP/2 sends no reason at all.
    if (line.rfind("HTTP/", 0) == 0) {
        const size_t version = line.find(' ');
        const size_t status = version == std::string::npos ? version : line.find(' ', version + 1);
        sink->reason =
            status == std::string::npos ? std::string() : trimmed(line.substr(status + 1));
    }
    return size * count;
}

struct EasyDeleter
{
    const CurlApi *api;
    void operator()(CURL *handle) const { api->easy_cleanup(handle); }
};

// Names the answer and its layout, so that a program that prints something
// else, or an older one, is not taken at its word.
const std::string kAnswerMark = "hoop-updater-fetch answer 1\n";

// Each field as its length, a colon, the bytes and a comma.
void put(std::string &out, const std::string &field)
{
    out += std::to_string(field.size());
    out += ':';
    out += field;
    out += ',';
}

void put(std::string &out, long long number)
{
    put(out, std::to_string(number));
}

struct Reader
{
    const std::string &in;
    size_t at = 0;
    bool ok = true;

    std::string field()
    {
        size_t length = 0;
        const char *begin = in.data() + at, *end = in.data() + in.size();
        const auto [colon, error] = std::from_chars(begin, end, length);
        ok = ok && error == std::errc() && colon != begin && colon < end && *colon == ':' &&
             length < size_t(end - colon) - 1 && colon[1 + length] == ',';
        if (!ok)
            return {};
        at = size_t(colon - in.data()) + 1 + length + 1;
        return std::string(colon + 1, length);
    }
    long long number()
    {
        const std::string text = field();
        long long value = 0;
        const auto [last, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        ok = ok && !text.empty() && error == std::errc() && last == text.data() + text.size();
        return value;
    }
};

} // namespace

Transfer runTransfer(const CurlApi &api, const std::string &url, const TransferLimits &limits)
{
    Transfer transfer;
    std::unique_ptr<CURL, EasyDeleter> easy(api.easy_init(), EasyDeleter{&api});
    if (!easy)
        return transfer;
    CURL *h = easy.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};

    Sink sink;
    sink.maxBytes = limits.maxBytes;

    bool ok = api.easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK;
    // Signals are process-wide; a library must not use them from worker threads.
    ok = ok && api.easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    // Nothing but the web: no file://, no other protocol, not even via a redirect.
#if LIBCURL_VERSION_NUM >= 0x075500
    ok = ok && api.easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
#else // older system libcurl, as on some macOS releases
    const long web = CURLPROTO_HTTP | CURLPROTO_HTTPS;
    ok = ok && api.easy_setopt(h, CURLOPT_PROTOCOLS, web) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_REDIR_PROTOCOLS, web) == CURLE_OK;
#endif
    // Bounded redirects, so a loop ends.
    ok = ok && api.easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_MAXREDIRS, limits.maxRedirects) == CURLE_OK;
    // A dead host or a server that stops sending must not hold the caller.
    ok = ok && api.easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_TIMEOUT, limits.totalSeconds) == CURLE_OK;
    // Refuse early when the server announces a body over the cap.
    ok = ok && api.easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                               static_cast<curl_off_t>(limits.maxBytes)) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    if (!limits.caFile.empty()) {
        // Only this bundle: drop the default directory as well.
        ok = ok && api.easy_setopt(h, CURLOPT_CAINFO, limits.caFile.c_str()) == CURLE_OK;
        ok = ok && api.easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK;
    }
    ok = ok && api.easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_WRITEDATA, &sink) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_HEADERFUNCTION, &readHeader) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_HEADERDATA, &sink) == CURLE_OK;
    ok = ok && api.easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK;
    if (!ok)
        return transfer;

    transfer.setUp = true;
    const CURLcode code = api.easy_perform(h);
    transfer.code = int(code);
    api.easy_getinfo(h, CURLINFO_OS_ERRNO, &transfer.osErrno);
    api.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &transfer.httpStatus);
    char *contentType = nullptr;
    if (api.easy_getinfo(h, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType)
        transfer.contentType = contentType;
    transfer.error = api.easy_strerror(code);
    if (errorBuffer[0] != '\0')
        transfer.error += ": " + trimmed(errorBuffer);
    transfer.overflow = sink.overflow;
    transfer.reason = std::move(sink.reason);
    transfer.body = std::move(sink.body);
    return transfer;
}

std::vector<std::string> transferArguments(const TransferRequest &request)
{
    const TransferLimits &limits = request.limits;
    std::vector<std::string> arguments{request.url,
                                       std::to_string(limits.connectTimeoutSeconds),
                                       std::to_string(limits.stallSeconds),
                                       std::to_string(limits.totalSeconds),
                                       std::to_string(limits.maxBytes),
                                       std::to_string(limits.maxRedirects)};
    if (!limits.caFile.empty())
        arguments.push_back(limits.caFile);
    return arguments;
}

std::optional<TransferRequest> parseTransferArguments(const std::vector<std::string> &arguments)
{
    if (arguments.size() != 6 && arguments.size() != 7)
        return std::nullopt;
    bool ok = true;
    auto number = [&](size_t index) {
        const std::string &text = arguments[index];
        long long value = -1;
        const auto [last, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        ok = ok && error == std::errc() && last == text.data() + text.size() && value >= 0;
        return value;
    };
    TransferRequest request;
    request.url = arguments[0];
    request.limits.connectTimeoutSeconds = long(number(1));
    request.limits.stallSeconds = long(number(2));
    request.limits.totalSeconds = long(number(3));
    request.limits.maxBytes = number(4);
    request.limits.maxRedirects = long(number(5));
    if (arguments.size() == 7)
        request.limits.caFile = arguments[6];
    if (!ok || request.url.empty())
        return std::nullopt;
    return request;
}

std::string encodeTransfer(const Transfer &transfer)
{
    std::string out = kAnswerMark;
    put(out, transfer.setUp);
    put(out, transfer.code);
    put(out, transfer.osErrno);
    put(out, transfer.overflow);
    put(out, transfer.httpStatus);
    put(out, transfer.reason);
    put(out, transfer.contentType);
    put(out, transfer.error);
    put(out, transfer.body);
    return out;
}

std::optional<Transfer> decodeTransfer(const std::string &answer)
{
    if (answer.compare(0, kAnswerMark.size(), kAnswerMark) != 0)
        return std::nullopt;
    Reader in{answer, kAnswerMark.size()};
    Transfer transfer;
    const long long setUp = in.number();
    transfer.code = int(in.number());
    transfer.osErrno = long(in.number());
    const long long overflow = in.number();
    transfer.httpStatus = long(in.number());
    transfer.reason = in.field();
    transfer.contentType = in.field();
    transfer.error = in.field();
    transfer.body = in.field();
    if (!in.ok || in.at != answer.size() || (setUp != 0 && setUp != 1) ||
        (overflow != 0 && overflow != 1))
        return std::nullopt;
    transfer.setUp = setUp == 1;
    transfer.overflow = overflow == 1;
    return transfer;
}
