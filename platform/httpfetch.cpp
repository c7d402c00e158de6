#include "platform/httpfetch.h"

#include "platform/curlapi.h"

#include <QUrl>

#include <cerrno>
#include <memory>

namespace {

struct Sink
{
    QByteArray body;
    qint64 maxBytes = 0;
    bool overflow = false;
    // Of the last status line: a redirect or a "100 Continue" comes before the answer.
    QByteArray reason;
};

size_t writeBody(char *data, size_t size, size_t count, void *userdata)
{
    auto *sink = static_cast<Sink *>(userdata);
    const qint64 n = static_cast<qint64>(size * count);
    // Enforced while receiving: returning short aborts the transfer, so a huge
    // or endless body never gets buffered.
    if (sink->body.size() + n > sink->maxBytes) {
        sink->overflow = true;
        return 0;
    }
    sink->body.append(data, static_cast<qsizetype>(n));
    return size * count;
}

size_t readHeader(char *data, size_t size, size_t count, void *userdata)
{
    auto *sink = static_cast<Sink *>(userdata);
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    // "HTTP/1.1 502 Bad Gateway"; HTTP/2 sends no reason at all.
    if (line.startsWith("HTTP/")) {
        const QList<QByteArray> parts = line.split(' ');
        sink->reason = parts.size() > 2 ? line.mid(parts[0].size() + parts[1].size() + 2).trimmed()
                                        : QByteArray();
    }
    return size * count;
}

FetchFailure failureOf(CURLcode code, long osErrno, bool overflow)
{
    switch (code) {
    case CURLE_OK:
        return FetchFailure::None;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return FetchFailure::HostNotFound;
    case CURLE_COULDNT_CONNECT:
        return osErrno == ECONNREFUSED ? FetchFailure::Refused : FetchFailure::Unreachable;
    case CURLE_OPERATION_TIMEDOUT:
        return FetchFailure::TimedOut;
    case CURLE_FILESIZE_EXCEEDED:
        return FetchFailure::TooLarge;
    case CURLE_WRITE_ERROR:
        return overflow ? FetchFailure::TooLarge : FetchFailure::Other;
    default:
        return FetchFailure::Other;
    }
}

struct EasyDeleter
{
    const CurlApi *api;
    void operator()(CURL *handle) const { api->easy_cleanup(handle); }
};

} // namespace

FetchResult fetchResource(const QString &url, const FetchLimits &limits)
{
    FetchResult result;
    result.url = url;
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || parsed.host().isEmpty() || (scheme != "http" && scheme != "https")) {
        result.failure = FetchFailure::InvalidUrl;
        return result;
    }
    result.host = parsed.host();
    result.port = parsed.port(scheme == QStringLiteral("https") ? 443 : 80);
    const QByteArray encoded = parsed.toEncoded();

    result.failure = FetchFailure::NoLibrary;
    const CurlApi *api = curlApi();
    if (!api)
        return result;
    std::unique_ptr<CURL, EasyDeleter> easy(api->easy_init(), EasyDeleter{api});
    if (!easy)
        return result;
    CURL *h = easy.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};

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
    ok = ok && api->easy_setopt(h, CURLOPT_HEADERFUNCTION, &readHeader) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_HEADERDATA, &sink) == CURLE_OK;
    ok = ok && api->easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK;
    if (!ok)
        return result;

    const CURLcode code = api->easy_perform(h);
    long osErrno = 0;
    api->easy_getinfo(h, CURLINFO_OS_ERRNO, &osErrno);
    api->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.httpStatus);
    char *contentType = nullptr;
    if (api->easy_getinfo(h, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType)
        result.contentType = QString::fromLatin1(contentType);
    result.httpReason = sink.reason.isEmpty() ? usualHttpReason(result.httpStatus)
                                              : QString::fromLatin1(sink.reason);
    result.curlCode = int(code);
    result.curlError = QString::fromUtf8(api->easy_strerror(code));
    if (errorBuffer[0] != '\0')
        result.curlError += QStringLiteral(": ") + QString::fromUtf8(errorBuffer).trimmed();
    result.failure = failureOf(code, osErrno, sink.overflow);
    if (result.failure != FetchFailure::None)
        return result;
    if (result.httpStatus < 200 || result.httpStatus > 299) {
        result.failure = FetchFailure::HttpStatus;
        return result;
    }
    result.body = std::move(sink.body);
    return result;
}

std::optional<QByteArray> fetchUrl(const QString &url, const FetchLimits &limits)
{
    return fetchResource(url, limits).body;
}

QString describeFetch(const FetchResult &result)
{
    return QStringLiteral("GET %1: HTTP status %2, libcurl error %3 (%4)")
        .arg(result.url, result.httpStatus ? QString::number(result.httpStatus) + QLatin1Char(' ') +
                                                 result.httpReason
                                           : QStringLiteral("none"))
        .arg(result.curlCode)
        .arg(result.curlError.isEmpty() ? QStringLiteral("not run") : result.curlError);
}

QString usualHttpReason(long status)
{
    // The statuses a proxy, a captive portal or a web server is likely to send.
    switch (status) {
    case 400:
        return QStringLiteral("Bad Request");
    case 401:
        return QStringLiteral("Unauthorized");
    case 403:
        return QStringLiteral("Forbidden");
    case 404:
        return QStringLiteral("Not Found");
    case 407:
        return QStringLiteral("Proxy Authentication Required");
    case 408:
        return QStringLiteral("Request Timeout");
    case 410:
        return QStringLiteral("Gone");
    case 429:
        return QStringLiteral("Too Many Requests");
    case 500:
        return QStringLiteral("Internal Server Error");
    case 502:
        return QStringLiteral("Bad Gateway");
    case 503:
        return QStringLiteral("Service Unavailable");
    case 504:
        return QStringLiteral("Gateway Timeout");
    case 511:
        return QStringLiteral("Network Authentication Required");
    default:
        return {};
    }
}
