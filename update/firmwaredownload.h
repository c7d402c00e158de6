#pragma once

#include "platform/httpfetch.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Turning a firmware name into its download address and local file, fetching
// it, storing it and checking it against the catalogue's MD5 digest. Nothing
// here logs; the update run reports.

// The MD5 digest of the bytes: 32 lower-case hexadecimal digits.
QString MD5(const QByteArray &bytes);

// serverBase + "/fw-updates/" + selectedValue + ".zip", not escaped: catalogue
// names are meant to be usable in an address as they are.
QString firmwareUrl(const QString &serverBase, const QString &selectedValue);

// tempDir + "/" + bundleId with exactly one separator, created with its parents
// (an existing directory is fine; a failure shows later, when storing).
QString destinationDirectory(const QString &tempDir, const QString &bundleId);

// directory + "/" + selectedValue + ".hex"
QString firmwareDestination(const QString &directory, const QString &selectedValue);

// Firmware images are larger than a catalogue; everything else as the shared fetch.
FetchLimits firmwareFetchLimits();
constexpr qint64 kFirmwareMaxBytes = 32 * 1024 * 1024;

// The whole body, or nothing on any failure (see fetchUrl).
std::optional<QByteArray> downloadFirmware(const QString &url,
                                           const FetchLimits &limits = firmwareFetchLimits());

// Replaces the file at path with the bytes as a whole (temporary file, then
// rename). With no data nothing is written and false returned. When the write
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
