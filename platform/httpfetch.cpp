#include "platform/httpfetch.h"

#include "platform/curlapi.h"
#include "platform/curltransfer.h"
#include "platform/fetchapart.h"

#include <QUrl>

#include <cerrno>

namespace {

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

TransferLimits transferLimits(const FetchLimits &limits)
{
    return {limits.connectTimeoutSeconds, limits.stallSeconds,
            limits.totalSeconds,          limits.maxBytes,
            limits.maxRedirects,          limits.caFile.toLocal8Bit().toStdString()};
}

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
    const std::string encoded = parsed.toEncoded().toStdString();

    std::optional<Transfer> transfer;
    if (!limits.helperProgram.isEmpty())
        transfer = transferApart(limits.helperProgram, {encoded, transferLimits(limits)});
    if (!transfer) {
        const CurlApi *api = curlApi();
        if (api)
            transfer = runTransfer(*api, encoded, transferLimits(limits));
    }
    if (!transfer || !transfer->setUp) {
        result.failure = FetchFailure::NoLibrary;
        return result;
    }
    result.httpStatus = transfer->httpStatus;
    result.contentType = QString::fromLatin1(transfer->contentType);
    result.httpReason = transfer->reason.empty() ? usualHttpReason(result.httpStatus)
                                                 : QString::fromLatin1(transfer->reason);
    result.curlCode = transfer->code;
    result.curlError = QString::fromStdString(transfer->error);
    result.failure = failureOf(CURLcode(transfer->code), transfer->osErrno, transfer->overflow);
    if (result.failure != FetchFailure::None)
        return result;
    if (result.httpStatus < 200 || result.httpStatus > 299) {
        result.failure = FetchFailure::HttpStatus;
        return result;
    }
    result.body = QByteArray::fromStdString(transfer->body);
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
