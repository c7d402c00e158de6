#include "platform/httpfetch.h"

#include "platform/curlapi.h"

#include <QUrl>

#include <memory>

namespace {

struct Sink
{
    QByteArray body;
    qint64 maxBytes = 0;
};

size_t writeBody(char *data, size_t size, size_t count, void *userdata)
{
    auto *sink = static_cast<Sink *>(userdata);
    const qint64 n = static_cast<qint64>(size * count);
    // Enforced while receiving: returning short aborts the transfer, so a huge
    // or endless body never gets buffered.
    if (sink->body.size() + n > sink->maxBytes)
        return 0;
    sink->body.append(data, static_cast<qsizetype>(n));
    return size * count;
}

struct EasyDeleter
{
    const CurlApi *api;
    void operator()(CURL *handle) const { api->easy_cleanup(handle); }
};

} // namespace

std::optional<QByteArray> fetchUrl(const QString &url, const FetchLimits &limits)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || parsed.host().isEmpty() || (scheme != "http" && scheme != "https"))
        return std::nullopt;
    const QByteArray encoded = parsed.toEncoded();

    const CurlApi *api = curlApi();
    if (!api)
        return std::nullopt;
    std::unique_ptr<CURL, EasyDeleter> easy(api->easy_init(), EasyDeleter{api});
    if (!easy)
        return std::nullopt;
    CURL *h = easy.get();

    Sink sink;
    sink.maxBytes = limits.maxBytes;
    const QByteArray caFile = limits.caFile.toLocal8Bit();

    bool ok = api->easy_setopt(h, CURLOPT_URL, encoded.constData()) == CURLE_OK;
    // Signals are process-wide; a library must not use them from worker threads.
    ok = ok && api->easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    // Nothing but the web: no file://, no other protocol, not even via a redirect.
#if LIBCURL_VERSION_NUM >= 0x075500
    ok = ok && api->easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
#else // older system libcurl, as on some macOS releases
    const long web = CURLPROTO_HTTP | CURLPROTO_HTTPS;
    ok = ok && api->easy_setopt(h, CURLOPT_PROTOCOLS, web) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_REDIR_PROTOCOLS, web) == CURLE_OK;
#endif
    // Bounded redirects, so a loop ends.
    ok = ok && api->easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_MAXREDIRS, limits.maxRedirects) == CURLE_OK;
    // A dead host or a server that stops sending must not hold the caller.
    ok =
        ok && api->easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_TIMEOUT, limits.totalSeconds) == CURLE_OK;
    // Refuse early when the server announces a body over the cap.
    ok = ok && api->easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                                static_cast<curl_off_t>(limits.maxBytes)) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    if (!caFile.isEmpty()) {
        // Only this bundle: drop the default directory as well.
        ok = ok && api->easy_setopt(h, CURLOPT_CAINFO, caFile.constData()) == CURLE_OK;
        ok = ok && api->easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK;
    }
    ok = ok && api->easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_WRITEDATA, &sink) == CURLE_OK;
    if (!ok || api->easy_perform(h) != CURLE_OK)
        return std::nullopt;

    long status = 0;
    if (api->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status < 200 ||
        status > 299)
        return std::nullopt;
    return sink.body;
}
