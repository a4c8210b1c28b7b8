#pragma once

#include "device/UsbDeviceInfo.h"

#include <QJsonObject>
#include <QString>

// "K3000001 (generation 3, loader, /dev/bus/usb/001/007)".
QString describeProbe(const UsbDeviceInfo& probe);
// "... is not a probe kvtool knows", for a probe with a product id of no generation.
QString unknownProbeMessage(const UsbDeviceInfo& probe);
// {"serial", "generation" (number or null), "mode", "devicePath", "vendorId", "productId"
// (four hexadecimal digits)}.
QJsonObject probeJson(const UsbDeviceInfo& probe);
