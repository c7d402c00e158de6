// A stand-in for libusb-1.0 that shows the simulated hoops on a USB bus: each
// chip that is in its bootloader is an 03eb:2ff6 device with the bus, address
// and port path its state gives. Only what the program calls is here. It finds
// the hoops through the file that the environment variable HOOPSIM_USB names,
// the pointer file beside an installed stand-in tool.

#include "simstate.h"

#include <libusb.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct libusb_context
{
    std::vector<std::string> dirs;
};

struct libusb_device
{
    int bus = 0;
    int address = 0;
    std::vector<std::uint8_t> ports;
};

struct libusb_device_handle
{
    libusb_device *device = nullptr;
};

namespace {

// "1-4.3": bus 1, ports 4 then 3.
std::vector<std::uint8_t> portNumbers(const std::string &port)
{
    std::vector<std::uint8_t> numbers;
    const std::size_t dash = port.find('-');
    if (dash == std::string::npos)
        return numbers;
    std::size_t at = dash + 1;
    while (at < port.size()) {
        const std::size_t dot = port.find('.', at);
        numbers.push_back(std::uint8_t(std::atoi(port.substr(at, dot - at).c_str())));
        if (dot == std::string::npos)
            break;
        at = dot + 1;
    }
    return numbers;
}

} // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **context)
{
    auto *made = new libusb_context;
    if (const char *pointer = std::getenv("HOOPSIM_USB"))
        made->dirs = hoopsim::readStateDirs(pointer);
    *context = made;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *context)
{
    delete context;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *context, libusb_device ***list)
{
    const std::vector<hoopsim::BusDevice> found = hoopsim::bootloadersOnBus(context->dirs);
    auto **devices = new libusb_device *[found.size() + 1];
    for (std::size_t i = 0; i < found.size(); ++i)
        devices[i] = new libusb_device{found[i].bus, found[i].address, portNumbers(found[i].port)};
    devices[found.size()] = nullptr;
    *list = devices;
    return ssize_t(found.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unrefDevices)
{
    for (libusb_device **device = list; unrefDevices && *device; ++device)
        delete *device;
    delete[] list;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *, libusb_device_descriptor *descriptor)
{
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->idVendor = 0x03eb;
    descriptor->idProduct = 0x2ff6;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *device)
{
    return std::uint8_t(device->bus);
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *device)
{
    return std::uint8_t(device->address);
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device *device, uint8_t *numbers, int length)
{
    if (int(device->ports.size()) > length)
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(device->ports.begin(), device->ports.end(), numbers);
    return int(device->ports.size());
}

int LIBUSB_CALL libusb_open(libusb_device *device, libusb_device_handle **handle)
{
    *handle = new libusb_device_handle{device};
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
    delete handle;
}

const char *LIBUSB_CALL libusb_error_name(int)
{
    return "LIBUSB_ERROR_OTHER";
}

} // extern "C"
