#include "device/LinuxUsbBackend.h"

#include "app/HException.h"
#include "device/LibusbPipes.h"

#include <QRegularExpression>

#include <libusb.h>

namespace {

// Bus numbers and addresses as usbfs names them.
constexpr int MAX_BUS = 255;
constexpr int MAX_ADDRESS = 127;

}  // namespace

bool parseUsbDevicePath(const QString& path, int& bus, int& address) {
    static const QRegularExpression tail(QStringLiteral("/(\\d{1,3})/(\\d{1,3})$"));
    const QRegularExpressionMatch match = tail.match(path);
    if (!match.hasMatch()) {
        return false;
    }
    bus = match.captured(1).toInt();
    address = match.captured(2).toInt();
    return bus >= 1 && bus <= MAX_BUS && address >= 1 && address <= MAX_ADDRESS;
}

LinuxUsbBackend::LinuxUsbBackend(const SysfsDiscovery& discovery) : discovery(discovery) {}

UsbDeviceList LinuxUsbBackend::enumerate() {
    return discovery.enumerate();
}

std::shared_ptr<libusb_context> LinuxUsbBackend::libusbContext() {
    if (!context) {
        // The pipes open the device nodes that discovery names and hand them to libusb,
        // so libusb needs neither its own scan of the bus nor its hotplug thread, which
        // can lag behind or miss a device that restarts (several processes at once, no
        // udev in a container). Nothing else here uses libusb's list of devices. Set for
        // the contexts made from now on; where it is not supported, libusb scans, to no
        // harm.
        libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
        libusb_context* raw = nullptr;
        const int rc = libusb_init(&raw);
        if (rc != LIBUSB_SUCCESS) {
            openError = describeLibusbError("libusb_init", rc);
            return nullptr;
        }
        context = std::shared_ptr<libusb_context>(raw, libusb_exit);
    }
    return context;
}

std::unique_ptr<UsbPipes> LinuxUsbBackend::open(const UsbDeviceInfo& device) {
    openError.clear();
    int bus = 0;
    int address = 0;
    if (!parseUsbDevicePath(device.devicePath(), bus, address)) {
        openError = QStringLiteral("not a USB device path: \"%1\"").arg(device.devicePath());
        throw UsbOpenError(OpenRefusal::Other);
    }
    std::shared_ptr<libusb_context> libusb = libusbContext();
    if (!libusb) {
        throw UsbOpenError(OpenRefusal::Other);
    }
    try {
        return LibusbPipes::open(std::move(libusb), device.devicePath(), openError);
    } catch (const UsbOpenError& refused) {
        throw UsbOpenError(refused.refusal(), device.devicePath());
    }
}
