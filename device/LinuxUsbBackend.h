#pragma once

#include "device/SysfsDiscovery.h"
#include "device/UsbBackend.h"

#include <memory>

struct libusb_context;

// The real USB backend on Linux: discovery from sysfs, pipes on libusb over the device
// nodes that discovery names. The one libusb context is created at the first open
// (discovery needs none) and lives as long as the backend or the last pipes opened
// through it; it neither scans the bus nor follows hotplug events.
class LinuxUsbBackend : public UsbBackend {
public:
    explicit LinuxUsbBackend(const SysfsDiscovery& discovery = SysfsDiscovery());

    UsbDeviceList enumerate() override;
    // Opens the device whose path is its usbfs node, ending in its bus and address
    // ("/dev/bus/usb/001/007"); any other path is refused without being opened.
    std::unique_ptr<UsbPipes> open(const UsbDeviceInfo& device) override;
    QString lastError() const override { return openError; }

private:
    std::shared_ptr<libusb_context> libusbContext();

    SysfsDiscovery discovery;
    std::shared_ptr<libusb_context> context;
    QString openError;
};

// The bus number and address named by the last two components of a device path, or
// false when the path does not end in them.
bool parseUsbDevicePath(const QString& path, int& bus, int& address);
