#pragma once

// What the console shows of an update of the firmware "fw", piece by piece,
// for the tests that compare a whole transcript: the window's and the
// terminal's are the same.

#include <QString>
#include <QStringList>

namespace {

const QString launchLines =
    QStringLiteral("Checking for updates...\nSelect a firmware and hit \"Update Firmware\"\n");
const QString fetchingFw = QStringLiteral("Fetching firmware update... (fw)\n");
const QString md5Passed = QStringLiteral("MD5 check passed\n");
const QString md5Failed = QStringLiteral("MD5 check failed\nVerify proper internet connectivity, "
                                         "and try again. Or contact Tarvik support.\n");
const QString lookingForHoop =
    QStringLiteral("Checking for Vexlume Hoop... Turn on your hoop and plug it in via USB now.\n");
const QString volumeLines = QStringLiteral("Vexlume Hoop detected, volume label: VEXLUME HOOP\n"
                                           "Rebooting in DFU mode...\n");
const QString dfuDetected = QStringLiteral("Checking for hoop in DFU mode... Detected.\n"
                                           "Flashing new firmware to device... DO NOT UNPLUG!\n");
// The console from fetching through the first `steps` programming steps, via the volume.
inline QString through(int steps)
{
    const QStringList lines{"Erasing...\n", "Flashing...\n", "Resetting...\n",
                            "Starting device...\n"};
    return fetchingFw + md5Passed + lookingForHoop + volumeLines + dfuDetected +
           lines.mid(0, steps).join(QString());
}
const QString succeeded = QStringLiteral(
    "Vexlume Hoop successfully updated to firmware version: fw Disconnect hoop and quit.\n");
inline QString failure(const char *code)
{
    return QStringLiteral("FLASH PROCESS FAILURE. Contact Tarvik support. CODE: %1\n").arg(code);
}

} // namespace
