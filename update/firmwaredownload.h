#pragma once

#include "platform/httpfetch.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include <optional>

// Turning a firmware name into its download address and local file, fetching
// it, storing it and checking it against the catalogue's MD5 digest. Nothing
// here logs; the update run reports.

// The MD5 digest of the bytes: 32 lower-case hexadecimal digits.
QString MD5(const QByteArray &bytes);

// serverBase + "/fw-updates/" + selectedValue + ".zip", not escaped: catalogue
// names are meant to be usable in an address as they are.
QString firmwareUrl(const QString &serverBase, const QString &selectedValue);

// The directory the image is kept in: tempDir + "/" + bundleId with exactly one
// separator, made with mode 0700 (tempDir with its parents if missing). The
// image is flashed minutes after its check, so no other user may be able to
// change it in between: when that name is taken by anything but a directory of
// ours that only we may write, a fresh private directory beside it is used
// instead. A null string when no private directory can be had (no or a relative
// tempDir, or one that others could rearrange). why, if given, is set to the
// reason whenever tempDir + "/" + bundleId is not the answer, and cleared
// otherwise.
QString destinationDirectory(const QString &tempDir, const QString &bundleId,
                             QString *why = nullptr);

// directory + "/" + selectedValue + ".hex"; a null string for a null directory.
QString firmwareDestination(const QString &directory, const QString &selectedValue);

// Firmware images are larger than a catalogue; everything else as the shared fetch.
FetchLimits firmwareFetchLimits();
constexpr qint64 kFirmwareMaxBytes = 32 * 1024 * 1024;

// The whole body, or nothing on any failure (see fetchUrl).
std::optional<QByteArray> downloadFirmware(const QString &url,
                                           const FetchLimits &limits = firmwareFetchLimits());

// Replaces the file at path with the bytes as a whole (temporary file, then
// rename). With no data, or when path's directory is not one that only we may
// write (see destinationDirectory), nothing is written and false returned. A
// symbolic link at path is replaced, never written through. When the write
// fails, a file left at path by an earlier download is removed, so that the
// flash step can never pick up an old image after a new one passed its check;
// false is returned then, and the caller should treat it as a failed check.
bool storeFirmware(const QString &path, const std::optional<QByteArray> &data);

struct DigestCheck
{
    bool passed = false;
    QString foundDigest; // upper case; empty when there was no data
};

// Passes when there is data and its digest equals expected, ignoring letter
// case. The expected digest is used whole, untrimmed; a null expected digest
// (no catalogue entry) fails.
DigestCheck checkDigest(const std::optional<QByteArray> &data, const QString &expected);

// An entry may bind its image more strongly than MD5 does, with a SHA-256
// digest: 64 hexadecimal digits, either case, nothing around them. True when
// `expected` is absent (an invalid QVariant) or names the data's digest; a
// value of any other form never matches.
bool sha256Matches(const QByteArray &data, const QVariant &expected);

// The digests a catalogue entry gives for its image. Either binds the image;
// a value of any form counts as given, so a malformed one fails its check
// instead of being passed over.
struct EntryDigests
{
    bool md5 = false;
    bool sha256 = false;
};
EntryDigests entryDigests(const QVariantMap &entry);
