#pragma once

#include "device/UsbDeviceList.h"

// Every USB device present now, whatever its vendor, from the process-wide backend.
// Never throws: what cannot be read is left out.
UsbDeviceList enumerateUsbDevices();

// The attached probes: every device with the probe vendor id, whatever its product id, in
// enumeration order.
UsbDeviceList attachedProbes();

// From one enumeration: the probes with the generation-2 product id, followed by those
// in the generation-2 bootloader, each group in enumeration order.
UsbDeviceList findGeneration2Devices();
