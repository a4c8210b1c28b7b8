#pragma once

#include "device/UsbDeviceInfo.h"
#include "probe/InstallPlan.h"
#include "probe/InstalledFirmware.h"
#include "probe/SessionResult.h"

#include <QJsonArray>

#include <QJsonObject>
#include <QString>

// How kvtool-cli tells what the engine returns: in one line, and as JSON.

// "1.3 - factory build", "Not Installed", "bootloader running",
// "1.5, Birch, Variable Speed and Adaptive".
QString firmwareText(const InstalledFirmware& firmware);
// {"state", "versionText", "versionMajor", "versionMinor", "description", "variant",
//  "target", "clocking", "loaderVersion"}: every key always present, null where it does
// not apply.
QJsonObject firmwareJson(const InstalledFirmware& firmware);
// {"address", "bytes", "unit", "unitSize", "count", "steps"}.
QJsonObject planJson(const PlanSummary& plan);
// [{"phase", "seconds"}, ...]: how long each phase of an install took, in order.
QJsonArray phasesJson(const QList<PhaseTime>& times);
// {"station", "kvtoolVersion"}: where and by which kvtool an install ran (the host name).
QJsonObject stationJson();

// What `probe` has installed, read by its generation's engine as the firmware pages read
// it. Throws HException with the link's or the command's message, or, for a product id of
// no generation, that the probe is not one kvtool knows.
InstalledFirmware readInstalledFirmware(const UsbDeviceInfo& probe);
