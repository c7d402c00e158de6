#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// minisign's detached signatures, read and checked with libsodium. A signature
// file has four lines:
//   untrusted comment: <anything>
//   base64 of: algorithm (2 bytes), key id (8), Ed25519 signature (64)
//   trusted comment: <text>
//   base64 of: Ed25519 signature (64) over the signature bytes and <text>
// Algorithm "ED" signs the BLAKE2b-512 hash of the file, the legacy "Ed" the
// file itself. A public key is the base64 of "Ed", the key id and the 32-byte
// key: the second line of a minisign.pub, "RW...".
//
// Nothing here keeps state or logs; fetching, the rollback check and the
// developer log are the caller's.

struct MinisignVerdict
{
    bool verified = false;
    // Why not, in plain words that fit "... signature does not verify: <refusal>".
    QString refusal;
    // What could be read, for the developer log: the key id as minisign shows
    // it (16 upper-case hex digits), "ED" or "Ed", the trusted comment's text.
    QString keyId;
    QString algorithm;
    QString trustedComment;
    // The trusted comment's "timestamp:N", when it has one; only meaningful
    // once verified.
    std::optional<qint64> timestamp;
};

// True when key is a minisign public key line ("RW...", surrounding blanks allowed).
bool isMinisignPublicKey(const QString &key);

// Verifies signatureFile over the exact bytes of data against any of
// publicKeys; keys that are not minisign public keys are passed over.
MinisignVerdict verifyMinisign(const QByteArray &data, const QByteArray &signatureFile,
                               const QStringList &publicKeys);

// The "timestamp:N" field of a trusted comment such as minisign writes
// ("timestamp:1733580000\tfile:updates.xml\thashed"): N is decimal digits only,
// up to the end of the comment or the next tab or space, since a comment typed
// by hand with -t mostly separates its fields with spaces.
std::optional<qint64> trustedTimestamp(const QString &trustedComment);

// Clocks differ, so a signature may be dated up to a day past ours.
constexpr qint64 kSignatureClockSlackSeconds = 24 * 60 * 60;

// True when a signature's timestamp lies more than the slack past now (both
// seconds since the epoch). Such a list is refused rather than taken: kept as
// the rollback floor it would lock out every correctly dated list until that
// date, and taken with a lower floor it would let an older list back in.
bool signedInFuture(qint64 timestamp, qint64 now);

// A timestamp as people read it: "2027-01-07 09:45:00 UTC".
QString signatureDateText(qint64 timestamp);
