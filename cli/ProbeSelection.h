#pragma once

#include "device/UsbDeviceList.h"

#include <QString>
#include <QStringList>

#include <optional>

// The probe a command works on: the one whose serial number is `serial`, or, when `serial`
// is empty, the only one attached. Throws CliFailure (exit code 3) with "No devices
// connected", "Multiple devices connected" or "No device with serial number ... connected",
// each with a hint.
UsbDeviceInfo selectProbe(const QString& serial);

// The probes of `probes` whose serial number is `serial`.
UsbDeviceList probesWithSerial(const UsbDeviceList& probes, const QString& serial);

// The one generation of the probes an install would be for: the probe with serial number
// `serials` (the only one attached when none is given), those of every serial number
// given, or with `all` every probe attached. None when there is no such probe or they are
// of several generations.
std::optional<int> generationOfProbes(const QStringList& serials, bool all);
