#pragma once

#include <QString>

// Value record of one USB device as discovery found it.
class UsbDeviceInfo {
public:
    UsbDeviceInfo() = default;
    UsbDeviceInfo(quint16 vendorId, quint16 productId, const QString& serialNumber,
                  const QString& devicePath, const QString& port = QString());

    QString serialNumber() const { return serial; }
    // Whatever the USB backend needs to open the device again.
    QString devicePath() const { return path; }
    // The physical port the device is plugged into, as the kernel names it ("1-2.3"): it
    // stays when the device restarts and enumerates anew on the same port, while its
    // address (and so its device path) changes. Empty where unknown.
    QString port() const { return physicalPort; }

    quint16 vendorId = 0;
    quint16 productId = 0;

    friend bool operator==(const UsbDeviceInfo&, const UsbDeviceInfo&) = default;

private:
    QString serial;
    QString path;
    QString physicalPort;
};
