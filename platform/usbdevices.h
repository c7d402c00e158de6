#pragma once

#include <QList>
#include <QString>

#include <optional>

// Whether this user may open a USB device, as far as a look could tell.
enum class UsbAccess {
    Untried, // the look did not try to open it
    Opened,  // opened and closed again at once
    Denied,  // refused for lack of permission (no udev rule)
    Failed,  // refused for another reason; see UsbDevice::error
};

struct UsbDevice
{
    quint16 vendorId = 0;
    quint16 productId = 0;
    quint8 bus = 0;
    quint8 address = 0;
    // The physical port path, as Linux names it: bus, then the port on each
    // hub from the root ("1-2", "1-4.3"). Unlike the address it stays when the
    // device enumerates again. Empty when it can't be told.
    QString port;
    UsbAccess access = UsbAccess::Untried;
    QString error; // libusb's name for the refusal when access is Failed
};

// The USB devices of one vendor (and product, unless it is negative) on the
// bus now, through libusb-1.0. With `tryOpen` each is opened and closed at once,
// without claiming an interface or sending anything, to learn whether this
// user may. Empty optional when libusb cannot start or list the bus.
std::optional<QList<UsbDevice>> listUsbDevices(quint16 vendorId, int productId = -1,
                                               bool tryOpen = true);
