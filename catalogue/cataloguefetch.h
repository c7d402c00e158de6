#pragma once

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
};

// Blocking; safe from any thread. Fetches serverBase + "/fw-updates/updates.xml"
// and, with keys, its ".minisig"; verifies the signature over the exact bytes
// before reading them; remembers the accepted list's timestamp.
CatalogueFetch fetchCatalogue(const QString &serverBase, const CatalogueTrust &trust);

// Splits the build's key setting ("RW...;RW...") into keys, blanks dropped.
QStringList catalogueKeysFromSetting(const QString &setting);
