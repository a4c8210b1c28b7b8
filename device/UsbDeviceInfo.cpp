#include "device/UsbDeviceInfo.h"

UsbDeviceInfo::UsbDeviceInfo(quint16 vendorId, quint16 productId, const QString& serialNumber,
                             const QString& devicePath, const QString& port)
    : vendorId(vendorId),
      productId(productId),
      serial(serialNumber),
      path(devicePath),
      physicalPort(port) {}
