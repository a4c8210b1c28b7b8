#pragma once

#include "device/UsbDeviceList.h"

#include <QString>

// The probe a command works on: the one whose serial number is `serial`, or, when `serial`
// is empty, the only one attached. Throws CliFailure (exit code 3) with "No devices
// connected", "Multiple devices connected" or "No device with serial number ... connected",
// each with a hint.
UsbDeviceInfo selectProbe(const QString& serial);

// The probes of `probes` whose serial number is `serial`.
UsbDeviceList probesWithSerial(const UsbDeviceList& probes, const QString& serial);
