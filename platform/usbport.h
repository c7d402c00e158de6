#pragma once

#include <QString>

#include <optional>

// The USB port path ("1-2", "1-4.3") of the device that holds the filesystem
// a path lies on: its block device, found from the filesystem's device
// number under sysRoot + "/dev/block", then up that device's sysfs directory
// to the USB device above it, whose directory is named for its port path.
// Nothing when the filesystem is on no USB device (or sysfs has no such
// tree, as on systems other than Linux).
std::optional<QString> usbPortOfPath(const QString &path,
                                     const QString &sysRoot = QStringLiteral("/sys"));
