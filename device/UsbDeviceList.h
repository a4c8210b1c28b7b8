#pragma once

#include "device/UsbDeviceInfo.h"

#include <QList>

// An implicitly shared list of device records, in the order the enumeration met them.
class UsbDeviceList : public QList<UsbDeviceInfo> {
public:
    using QList<UsbDeviceInfo>::QList;

    // The records whose vendor id equals `vendorId` and whose product id equals
    // `productId`, in order; a negative argument matches any id.
    UsbDeviceList select(int vendorId, int productId) const;
};
