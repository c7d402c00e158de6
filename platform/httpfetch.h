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
};

// Blocking GET of a whole resource; nothing on any failure, any status outside 200-299,
// a body over the cap, or an invalid URL. Safe from any thread.
std::optional<QByteArray> fetchUrl(const QString &url, const FetchLimits &limits = {});
