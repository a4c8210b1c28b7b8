#include "emu/EmulatedDevice.h"

#include "app/HException.h"

EmulatedDevice::EmulatedDevice(quint16 vendorId, quint16 productId, const QString& serialNumber)
    : vendor(vendorId), product(productId), serial(serialNumber) {}

EmulatedDevice::~EmulatedDevice() = default;

std::unique_ptr<UsbPipes> EmulatedDevice::openPipes() {
    throw HException("cannot open device driver");
}

void EmulatedDevice::setIdentity(quint16 vendorId, quint16 productId, const QString& serialNumber) {
    vendor = vendorId;
    product = productId;
    serial = serialNumber;
}
