#include "platform/usbdevices.h"

#include <libusb.h>

std::optional<QList<UsbDevice>> listUsbDevices(quint16 vendorId, int productId, bool tryOpen)
{
    // A context of its own per look: nothing of libusb stays around between looks.
    libusb_context *context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS)
        return std::nullopt;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        libusb_exit(context);
        return std::nullopt;
    }
    QList<UsbDevice> found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
            descriptor.idVendor != vendorId ||
            (productId >= 0 && descriptor.idProduct != productId))
            continue;
        UsbDevice device;
        device.vendorId = descriptor.idVendor;
        device.productId = descriptor.idProduct;
        device.bus = libusb_get_bus_number(list[i]);
        device.address = libusb_get_device_address(list[i]);
        if (tryOpen) {
            libusb_device_handle *handle = nullptr;
            const int status = libusb_open(list[i], &handle);
            if (status == LIBUSB_SUCCESS) {
                libusb_close(handle);
                device.access = UsbAccess::Opened;
            } else if (status == LIBUSB_ERROR_ACCESS) {
                device.access = UsbAccess::Denied;
            } else {
                device.access = UsbAccess::Failed;
                device.error = QString::fromLatin1(libusb_error_name(status));
            }
        }
        found.append(device);
    }
    libusb_free_device_list(list, 1);
    libusb_exit(context);
    return found;
}
