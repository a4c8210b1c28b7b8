#include "device/LinuxUsbBackend.h"

#include "app/HException.h"

LinuxUsbBackend::LinuxUsbBackend(const SysfsDiscovery& discovery) : discovery(discovery) {}

LinuxUsbBackend::~LinuxUsbBackend() = default;

UsbDeviceList LinuxUsbBackend::enumerate() {
    return discovery.enumerate();
}

std::unique_ptr<UsbPipes> LinuxUsbBackend::open(const UsbDeviceInfo& device) {
    openError =
        QStringLiteral("libusb pipes are not available yet for %1").arg(device.devicePath());
    throw HException("cannot open device driver");
}
