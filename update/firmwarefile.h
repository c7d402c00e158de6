#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// A firmware image the user picked on disk, checked and kept in memory: what
// gets flashed is these bytes, whatever happens to the file afterwards.
struct FirmwareFile
{
    QString path;         // absolute, fit for one console line
    QString name;         // the file's name less ".hex"; the version shown on success
    QByteArray bytes;     // the whole file, as checked
    qint64 dataBytes = 0; // bytes for the application area: what gets written
};

// The largest file taken; real images for the hoop are well under half of it.
constexpr qint64 kFirmwareFileMaxBytes = 1024 * 1024;

// The part of the AT32UC3B1256's flash that firmware may be written to: its
// 256 KiB at 0x80000000 less the first 8 KiB, which hold the bootloader.
constexpr quint32 kFlashBase = 0x80000000u;
constexpr quint32 kApplicationStart = 0x80002000u;
constexpr quint32 kFlashEnd = 0x80040000u;

struct FirmwareImageCheck
{
    QString problem;             // why the image can't be used for the hoop; null when it can
    qint64 applicationBytes = 0; // data bytes in the application area: what gets written
    qint64 bootloaderBytes = 0;  // data bytes in the bootloader's area, which the tool leaves out
};

// The check every image goes through before the hoop is touched, whether it
// came from the catalogue or from disk: Intel HEX with some data for the
// application area and none at or past the flash's end, its addresses counted
// either from 0 or from the flash's address. Data for the bootloader's area is
// taken, since the tool leaves it out, and noted in the developer log.
FirmwareImageCheck checkFirmwareImage(const QByteArray &bytes);

struct FirmwareFileCheck
{
    std::optional<FirmwareFile> file;
    QString refusal; // set exactly when there is no file
    QString path;    // absolute, fit for one console line
};

// Reads the file at path (a regular file only, so a pipe or a device can't
// block or flood us) and checks it.
FirmwareFileCheck readFirmwareFile(const QString &path);

// The console's line for a check: "Firmware file chosen: <path> (N bytes of
// firmware)" or "Firmware file refused: <path>: <refusal>".
QString firmwareFileLine(const FirmwareFileCheck &check);

// Reads and checks the file at path, as both the window and the terminal take
// a file from disk, and tells the console how it went in one line. The file
// when it passed.
std::optional<FirmwareFile> takeFirmwareFile(const QString &path,
                                             const std::function<void(const QString &)> &log);
