#include "device/UsbDeviceList.h"

UsbDeviceList UsbDeviceList::select(int vendorId, int productId) const {
    UsbDeviceList selected;
    for (const UsbDeviceInfo& device : *this) {
        if ((vendorId < 0 || device.vendorId == vendorId) &&
            (productId < 0 || device.productId == productId)) {
            selected.append(device);
        }
    }
    return selected;
}
