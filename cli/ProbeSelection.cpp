#include "cli/ProbeSelection.h"

#include "cli/CliFailure.h"
#include "device/UsbDiscovery.h"
#include "probe/ProbeKind.h"

#include <algorithm>
#include <iterator>

namespace {

// The refusals of the bootloader download, in its own words.
constexpr char NO_DEVICES[] = "No devices connected";
constexpr char MULTIPLE_DEVICES[] = "Multiple devices connected";

}  // namespace

UsbDeviceList probesWithSerial(const UsbDeviceList& probes, const QString& serial) {
    UsbDeviceList matching;
    std::ranges::copy_if(
        probes, std::back_inserter(matching),
        [&serial](const UsbDeviceInfo& probe) { return probe.serialNumber() == serial; });
    return matching;
}

UsbDeviceInfo selectProbe(const QString& serial) {
    const UsbDeviceList probes = attachedProbes();
    if (probes.isEmpty()) {
        throw CliFailure(ExitCode::NoProbe, QLatin1String(NO_DEVICES),
                         QStringLiteral("attach the Korvane you wish to use"));
    }
    if (serial.isEmpty()) {
        if (probes.size() > 1) {
            throw CliFailure(ExitCode::NoProbe, QLatin1String(MULTIPLE_DEVICES),
                             QStringLiteral("%1 probes are attached: pick one with --serial "
                                            "('kvtool-cli list' shows their serial numbers)")
                                 .arg(probes.size()));
        }
        return probes.first();
    }
    const UsbDeviceList matching = probesWithSerial(probes, serial);
    if (matching.isEmpty()) {
        throw CliFailure(ExitCode::NoProbe,
                         QStringLiteral("No device with serial number %1 connected").arg(serial),
                         QStringLiteral("'kvtool-cli list' shows the attached probes"));
    }
    if (matching.size() > 1) {
        throw CliFailure(ExitCode::NoProbe, QLatin1String(MULTIPLE_DEVICES),
                         QStringLiteral("%1 probes carry the serial number %2: attach only one "
                                        "of them")
                             .arg(matching.size())
                             .arg(serial));
    }
    return matching.first();
}

std::optional<int> generationOfProbes(const QStringList& serials, bool all) {
    const UsbDeviceList attached = attachedProbes();
    UsbDeviceList probes;
    if (all) {
        probes = attached;
    } else if (serials.isEmpty()) {
        if (attached.size() == 1) {
            probes = attached;
        }
    } else {
        for (const QString& serial : serials) {
            probes += probesWithSerial(attached, serial);
        }
    }
    std::optional<int> generation;
    for (const UsbDeviceInfo& probe : probes) {
        const std::optional<int> its = ProbeKind::of(probe.productId).generation;
        if (!its || (generation && its != generation)) {
            return std::nullopt;
        }
        generation = its;
    }
    return generation;
}
