#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Limits of one fetch, so that a dead, slow or hostile server can neither
// hold the calling thread for minutes nor fill memory.
struct FetchLimits
{
    // A host that does not answer the connection (CURLOPT_CONNECTTIMEOUT).
    long connectTimeoutSeconds = 10;
    // A server that stops sending: abort when under 1 byte/s for this long
    // (CURLOPT_LOW_SPEED_LIMIT / CURLOPT_LOW_SPEED_TIME).
    long stallSeconds = 15;
    // A server that trickles a byte now and then never stalls; this bounds
    // the whole transfer (CURLOPT_TIMEOUT). Enough for the catalogue cap on
    // a very slow line.
    long totalSeconds = 300;
    // Body cap, enforced while receiving; a larger body yields nothing.
    qint64 maxBytes = 4 * 1024 * 1024;
    // Redirects followed before giving up, so a loop ends.
    long maxRedirects = 5;
    // Empty: the system CA store; otherwise verify against this CA bundle only.
    QString caFile;
    // Empty: fetch in this process. Otherwise the fetching program
    // (platform/fetchapart.h) that does it in a process of its own, so that
    // libcurl's load never touches this one; in this process after all when
    // that program can't be run or gives no answer.
    QString helperProgram;
};

// How a fetch ended, so that a caller can say why it got nothing.
enum class FetchFailure {
    None,         // a 2xx answer, body within the cap
    InvalidUrl,   // not an absolute http or https URL with a host
    NoLibrary,    // libcurl could not be loaded or set up
    HostNotFound, // the host name does not resolve
    Refused,      // the host answered the connection with a refusal
    Unreachable,  // the connection failed otherwise (no route, ...)
    TimedOut,     // a connect, stall or total limit ran out
    TooLarge,     // the body is over the cap
    HttpStatus,   // an answer outside 200-299
    Other,        // TLS, protocol and everything else; see curlError
};

struct FetchResult
{
    std::optional<QByteArray> body; // set exactly when failure is None
    FetchFailure failure = FetchFailure::None;
    QString url;         // as requested
    QString host;        // from the URL; empty for an invalid one
    int port = 0;        // the URL's, or its scheme's default
    long httpStatus = 0; // of the last answer; 0 when none came
    QString httpReason;  // its reason phrase, as sent or the usual one; may be empty
    QString contentType; // of the last answer, as sent
    int curlCode = 0;    // CURLE_OK when the transfer itself went through
    QString curlError;   // libcurl's text for curlCode, with its detail when it gave one
};

// Blocking GET of a whole resource. Safe from any thread.
FetchResult fetchResource(const QString &url, const FetchLimits &limits = {});

// The body only: nothing on any failure, any status outside 200-299, a body
// over the cap, or an invalid URL.
std::optional<QByteArray> fetchUrl(const QString &url, const FetchLimits &limits = {});

// One developer-log line: the URL, the HTTP status and libcurl's code and text.
QString describeFetch(const FetchResult &result);

// The usual reason phrase of an HTTP status ("Not Found"); empty when unknown.
QString usualHttpReason(long status);
