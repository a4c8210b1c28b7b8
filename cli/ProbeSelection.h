#pragma once

#include "device/UsbDeviceInfo.h"

#include <QString>

// The probe a command works on: the one whose serial number is `serial`, or, when `serial`
// is empty, the only one attached. Throws CliFailure (exit code 3) with "No devices
// connected", "Multiple devices connected" or "No device with serial number ... connected",
// each with a hint.
UsbDeviceInfo selectProbe(const QString& serial);
