#pragma once

// Sample firmware for the demo and the tests: Intel HEX images for the hoop's
// application area, published as "<name>.zip" because the update server serves
// firmware under that name and the application stores the bytes unchanged.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace hoopsim {

struct SampleFirmware
{
    QString name; // file name without ".zip"; its version is the trailing number
    QString description;
};

// The published set, oldest first.
QList<SampleFirmware> sampleFirmwareSet();

// A valid Intel HEX image of about approxBytes bytes of text (at least one
// record, at most the whole application area of 248 KiB, about 680 KiB of
// text), its data at 0x80002000. The content is derived from the name, so the
// same name always gives the same bytes.
QByteArray sampleFirmwareHex(const QString &name, int approxBytes);

// Writes "<name>.zip" and its description as "<name>.desc" for each sample
// into dir (made if missing). Returns the ".zip" paths, or an empty list with
// *error set.
QStringList writeSampleFirmware(const QString &dir, int approxBytes = 48 * 1024,
                                QString *error = nullptr);

} // namespace hoopsim
