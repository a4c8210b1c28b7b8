#pragma once

#include "device/UsbDeviceInfo.h"

#include <QString>

// The probe a command works on: the one whose serial number is `serial`, or, when `serial`
// is empty, the only one attached. Throws CliFailure (exit code 3) with "No devices
// connected", "Multiple devices connected" or "No device with serial number ... connected",
// each with a hint.
UsbDeviceInfo selectProbe(const QString& serial);

// A generation-2 install restarts the probe and waits for the one generation-2 device to
// come back as its bootloader, so `probe` must be the only generation-2 device attached.
// Throws CliFailure (exit code 3) "Multiple devices connected" otherwise.
void requireOnlyGeneration2Device(const UsbDeviceInfo& probe);
