#pragma once

#include "device/UsbPipes.h"

#include <QString>

#include <memory>

// A device on the emulated bus: its USB identity and, through openPipes(), the function
// that stands in the probe's place. A plain EmulatedDevice has no function: it is listed
// by discovery and refuses to open (a device of another vendor, say).
class EmulatedDevice {
public:
    EmulatedDevice(quint16 vendorId, quint16 productId, const QString& serialNumber);
    EmulatedDevice(const EmulatedDevice&) = delete;
    EmulatedDevice& operator=(const EmulatedDevice&) = delete;
    virtual ~EmulatedDevice();

    quint16 vendorId() const { return vendor; }
    quint16 productId() const { return product; }
    QString serialNumber() const { return serial; }

    // Whether the device is attached to the bus now; a device that re-enumerates is
    // absent for a while.
    virtual bool present() const { return true; }
    // Opens the device's data pipes; throws HException as a real open would.
    virtual std::unique_ptr<UsbPipes> openPipes();

protected:
    void setIdentity(quint16 vendorId, quint16 productId, const QString& serialNumber);

private:
    quint16 vendor;
    quint16 product;
    QString serial;
};
