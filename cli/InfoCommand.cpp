#include "app/HException.h"
#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/ImageReport.h"
#include "cli/InstallReport.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "cli/ProbeSelection.h"
#include "gen2/KV2Variant.h"

// Shows what the chosen probe has installed, read as the firmware pages read it.
void runInfo(const CliOptions& options, Console& console) {
    const UsbDeviceInfo probe = selectProbe(options.serial);
    InstalledFirmware firmware;
    try {
        firmware = readInstalledFirmware(probe);
    } catch (const HException& e) {
        throw CliFailure::fromOperation(e).with({{QStringLiteral("probe"), probeJson(probe)}});
    }
    const std::shared_ptr<const ImageIdentity> newer = newerImageFor(firmware);
    if (options.json) {
        QJsonObject result = jsonResult(options.commandName, 0);
        result.insert(QStringLiteral("probe"), probeJson(probe));
        result.insert(QStringLiteral("firmware"), firmwareJson(firmware));
        result.insert(QStringLiteral("newerImage"),
                      newer ? QJsonValue(imageJson(*newer)) : QJsonValue(QJsonValue::Null));
        console.json(result);
        return;
    }
    console.line(QStringLiteral("Probe:     %1").arg(describeProbe(probe)));
    if (firmware.generation == 2 && firmware.state == InstalledFirmware::State::Installed) {
        console.line(QStringLiteral("Version:   %1").arg(firmware.versionText));
        console.line(
            QStringLiteral("Variant:   %1").arg(kv2::variantText(firmware.flags.value_or(0))));
    } else {
        console.line(QStringLiteral("Firmware:  %1").arg(firmwareText(firmware)));
    }
    if (newer) {
        console.line(QStringLiteral("Newer:     %1 in %2 (kvtool-cli update installs it)")
                         .arg(newer->versionText, newer->path));
    }
}
