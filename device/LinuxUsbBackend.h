#pragma once

#include "device/SysfsDiscovery.h"
#include "device/UsbBackend.h"

// The real USB backend on Linux: discovery from sysfs, pipes on libusb.
class LinuxUsbBackend : public UsbBackend {
public:
    explicit LinuxUsbBackend(const SysfsDiscovery& discovery = SysfsDiscovery());
    ~LinuxUsbBackend() override;

    UsbDeviceList enumerate() override;
    std::unique_ptr<UsbPipes> open(const UsbDeviceInfo& device) override;
    QString lastError() const override { return openError; }

private:
    SysfsDiscovery discovery;
    QString openError;
};
