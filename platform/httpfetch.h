#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Limits of one fetch. They exist so that a dead, slow or hostile server can
// neither hold the calling thread for minutes nor fill memory.
struct FetchLimits
{
    long connectTimeoutSeconds = 10; // CURLOPT_CONNECTTIMEOUT
    long stallSeconds = 15; // abort when under 1 byte/s for this long (LOW_SPEED_LIMIT/TIME)
    qint64 maxBytes = 4 * 1024 * 1024; // body cap; a larger body yields nothing
    long maxRedirects = 5;
    QString caFile; // empty: the system CA store; otherwise verify against this CA bundle only
};

// Blocking GET of a whole resource; nothing on any failure, any status outside 200-299,
// a body over the cap, or an invalid URL. Safe from any thread.
std::optional<QByteArray> fetchUrl(const QString &url, const FetchLimits &limits = {});
