#include "platform/usbdevices.h"

#include <libusb.h>

#include <QLibrary>

#include <mutex>

namespace {

// libusb, loaded on the first look rather than at program start: only an
// update run's waits and the diagnostic report ever look at the bus.
struct UsbApi
{
    decltype(&libusb_init) init;
    decltype(&libusb_exit) exit;
    decltype(&libusb_get_device_list) get_device_list;
    decltype(&libusb_free_device_list) free_device_list;
    decltype(&libusb_get_device_descriptor) get_device_descriptor;
    decltype(&libusb_get_bus_number) get_bus_number;
    decltype(&libusb_get_device_address) get_device_address;
    decltype(&libusb_get_port_numbers) get_port_numbers;
    decltype(&libusb_open) open;
    decltype(&libusb_close) close;
    decltype(&libusb_error_name) error_name;
};

template <typename Function> bool resolve(QLibrary &library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(library.resolve(name));
    return function != nullptr;
}

const UsbApi *load()
{
    // Never unloaded: the library stays for the life of the process.
    // Made on the looking thread and never destroyed: a QObject belongs to
    // its thread, and the one at exit is another.
#ifdef __APPLE__
    static QLibrary &library = *new QLibrary(QStringLiteral("libusb-1.0.0.dylib"));
#else
    static QLibrary &library = *new QLibrary(QStringLiteral("libusb-1.0.so.0"));
#endif
    static UsbApi api;
    const bool complete =
        library.load() && resolve(library, "libusb_init", api.init) &&
        resolve(library, "libusb_exit", api.exit) &&
        resolve(library, "libusb_get_device_list", api.get_device_list) &&
        resolve(library, "libusb_free_device_list", api.free_device_list) &&
        resolve(library, "libusb_get_device_descriptor", api.get_device_descriptor) &&
        resolve(library, "libusb_get_bus_number", api.get_bus_number) &&
        resolve(library, "libusb_get_device_address", api.get_device_address) &&
        resolve(library, "libusb_get_port_numbers", api.get_port_numbers) &&
        resolve(library, "libusb_open", api.open) && resolve(library, "libusb_close", api.close) &&
        resolve(library, "libusb_error_name", api.error_name);
    return complete ? &api : nullptr;
}

const UsbApi *usbApi()
{
    static std::once_flag once;
    static const UsbApi *api = nullptr;
    std::call_once(once, [] { api = load(); });
    return api;
}

// "1-4.3" for bus 1, port 4 of the root hub, port 3 of the hub there.
QString portPath(const UsbApi &usb, libusb_device *device, quint8 bus)
{
    uint8_t numbers[8]; // USB allows hubs seven deep
    const int count = usb.get_port_numbers(device, numbers, int(sizeof numbers));
    if (count <= 0)
        return {};
    QString path = QString::number(bus) + QLatin1Char('-');
    for (int i = 0; i < count; ++i)
        path += (i ? QStringLiteral(".") : QString()) + QString::number(numbers[i]);
    return path;
}

} // namespace

std::optional<QList<UsbDevice>> listUsbDevices(quint16 vendorId, int productId, bool tryOpen)
{
    const UsbApi *usb = usbApi();
    if (!usb)
        return std::nullopt;
    // A context of its own per look: nothing of libusb stays around between looks.
    libusb_context *context = nullptr;
    if (usb->init(&context) != LIBUSB_SUCCESS)
        return std::nullopt;
    libusb_device **list = nullptr;
    const ssize_t count = usb->get_device_list(context, &list);
    if (count < 0) {
        usb->exit(context);
        return std::nullopt;
    }
    QList<UsbDevice> found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (usb->get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
            descriptor.idVendor != vendorId ||
            (productId >= 0 && descriptor.idProduct != productId))
            continue;
        UsbDevice device;
        device.vendorId = descriptor.idVendor;
        device.productId = descriptor.idProduct;
        device.bus = usb->get_bus_number(list[i]);
        device.address = usb->get_device_address(list[i]);
        device.port = portPath(*usb, list[i], device.bus);
        if (tryOpen) {
            libusb_device_handle *handle = nullptr;
            const int status = usb->open(list[i], &handle);
            if (status == LIBUSB_SUCCESS) {
                usb->close(handle);
                device.access = UsbAccess::Opened;
            } else if (status == LIBUSB_ERROR_ACCESS) {
                device.access = UsbAccess::Denied;
            } else {
                device.access = UsbAccess::Failed;
                device.error = QString::fromLatin1(usb->error_name(status));
            }
        }
        found.append(device);
    }
    usb->free_device_list(list, 1);
    usb->exit(context);
    return found;
}
