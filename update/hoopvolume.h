#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The hoop's mass-storage face: a volume under the mount root whose top holds
// the marker "hoopinfo.txt", and the request file "runnow.cfg" that sends the
// hoop into its DFU bootloader.

// The name of the first directory directly under mountRoot (hidden ones
// included, in the order the listing yields them, not sorted) in which
// anything named "hoopinfo.txt" exists. Nothing when there is none or the
// root cannot be listed or is empty; never an empty name for "none".
std::optional<QString> findHoopVolumeLabel(const QString &mountRoot);

// A hoop volume: mountRoot + "/" + label.
struct HoopVolume
{
    QString mountRoot;
    QString label;

    friend bool operator==(const HoopVolume &, const HoopVolume &) = default;
};

// The first hoop volume under the first of mountRoots that holds one, each
// root searched as findHoopVolumeLabel does. Roots that do not exist at this
// moment are passed over: a desktop may make its root only when it mounts its
// first volume, so the list is looked at afresh on every call.
std::optional<HoopVolume> findHoopVolume(const QStringList &mountRoots);

// Every hoop volume under the roots, root by root, each in listing order: for
// a station where several hoops are plugged in at once.
QList<HoopVolume> findHoopVolumes(const QStringList &mountRoots);

// The hoop's serial number, from a line "Serial: <number>" in the marker (the
// key in any case, blanks around either part ignored); only the marker's first
// kMaxMarkerBytes are read. Nothing when the marker is no regular file, has no
// such line, or the first such line's number is empty, longer than
// kMaxSerialLength or not printable ASCII.
constexpr qint64 kMaxMarkerBytes = 4096;
constexpr qsizetype kMaxSerialLength = 64;
std::optional<QString> readHoopSerial(const HoopVolume &volume);

// mountRoot + "/" + label + "/" + fileName
QString volumePath(const QString &mountRoot, const QString &label, const QString &fileName);

// Replaces "runnow.cfg" on the volume, as a whole, with the ten bytes
// "bootloader". Nothing on success, otherwise a readable description of why
// it failed.
std::optional<QString> writeBootloaderRequest(const QString &mountRoot, const QString &label);
