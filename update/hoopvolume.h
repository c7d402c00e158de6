#pragma once

#include <QString>

#include <optional>

// The hoop's mass-storage face: a volume under the mount root whose top holds
// the marker "hoopinfo.txt", and the request file "runnow.cfg" that sends the
// hoop into its DFU bootloader.

// The name of the first directory directly under mountRoot (hidden ones
// included, in the order the listing yields them, not sorted) in which
// anything named "hoopinfo.txt" exists. Nothing when there is none or the
// root cannot be listed or is empty; never an empty name for "none".
std::optional<QString> findHoopVolumeLabel(const QString &mountRoot);

// mountRoot + "/" + label + "/" + fileName
QString volumePath(const QString &mountRoot, const QString &label, const QString &fileName);

// Replaces "runnow.cfg" on the volume, as a whole, with the ten bytes
// "bootloader". Nothing on success, otherwise a readable description of why
// it failed.
std::optional<QString> writeBootloaderRequest(const QString &mountRoot, const QString &label);
