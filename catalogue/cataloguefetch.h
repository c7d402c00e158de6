#pragma once

#include "platform/httpfetch.h"

#include <QString>
#include <QStringList>
#include <QVariant>

// Fetching the firmware list, and deciding whether to trust it. A build that
// names vendor keys accepts only a list whose detached minisign signature
// ("updates.xml.minisig" beside it) verifies against one of them, and never
// one signed earlier than the last list this user accepted.

struct CatalogueTrust
{
    // The base64 lines of minisign public keys ("RW..."); empty: no signature
    // is asked for, and nothing of it is fetched or kept.
    QStringList publicKeys;
    // Where the trusted comment's "timestamp:N" of the last accepted list is
    // kept; empty: no rollback check.
    QString stateFile;
};

struct CatalogueFetch
{
    // What "root.Hoop.FIRMWARE" holds in the list (a list of entries, one
    // entry, or an invalid QVariant when there is no usable list).
    QVariant firmware;
    // Set, in plain words, when the list was fetched but its signature was
    // refused; firmware is then invalid. Fits in "The firmware list's
    // signature does not verify: <refusal>."
    QString refusal;
    // Set, as one console sentence, when the list could not be fetched or
    // read as a firmware list at all; firmware is then invalid.
    QString failure;
};

// Blocking; safe from any thread. Fetches serverBase + "/fw-updates/updates.xml"
// and, with keys, its ".minisig"; verifies the signature over the exact bytes
// before reading them; remembers the accepted list's timestamp.
CatalogueFetch fetchCatalogue(const QString &serverBase, const CatalogueTrust &trust,
                              const FetchLimits &limits = {});

// Why a fetch of the firmware list gave nothing, as one console sentence.
QString catalogueFetchFailure(const FetchResult &fetched);
// What the fetched bytes hold instead of a firmware list, as one console
// sentence; empty when they are one (a single "root.Hoop" is there).
QString catalogueContentFailure(const QByteArray &body, const QString &contentType);

// Splits the build's key setting ("RW...;RW...") into keys, blanks dropped.
QStringList catalogueKeysFromSetting(const QString &setting);
