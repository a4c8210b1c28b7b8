#include "device/UsbDiscovery.h"

#include "device/UsbBackend.h"
#include "device/UsbIds.h"

UsbDeviceList enumerateUsbDevices() {
    return usbBackend().enumerate();
}

UsbDeviceList attachedProbes() {
    return enumerateUsbDevices().select(PROBE_VENDOR_ID, -1);
}

UsbDeviceList findGeneration2Devices() {
    const UsbDeviceList all = enumerateUsbDevices();
    UsbDeviceList found = all.select(PROBE_VENDOR_ID, PRODUCT_ID_GENERATION2);
    found.append(all.select(PROBE_VENDOR_ID, PRODUCT_ID_GENERATION2_BOOTLOADER));
    return found;
}
