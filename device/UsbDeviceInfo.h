#pragma once

#include <QString>

// Value record of one USB device as discovery found it.
class UsbDeviceInfo {
public:
    UsbDeviceInfo() = default;
    UsbDeviceInfo(quint16 vendorId, quint16 productId, const QString& serialNumber,
                  const QString& devicePath);

    QString serialNumber() const { return serial; }
    // Whatever the USB backend needs to open the device again.
    QString devicePath() const { return path; }

    quint16 vendorId = 0;
    quint16 productId = 0;

    friend bool operator==(const UsbDeviceInfo&, const UsbDeviceInfo&) = default;

private:
    QString serial;
    QString path;
};
