#include "app/HException.h"
#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/ImageReport.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "cli/ProbeSelection.h"
#include "device/UsbDiscovery.h"
#include "engines/FirmwareLibrary.h"
#include "engines/ProbeEngines.h"
#include "probe/ProbeKind.h"
#include "probe/ProbeLock.h"

#include <QJsonArray>

#include <algorithm>

namespace {

// The image of `library` newer than what `probe` runs, or null. The probe is asked what it
// runs only when the library holds an image of its generation, and not while another
// installer holds it.
std::shared_ptr<const ImageIdentity> newerImageOf(const UsbDeviceInfo& probe,
                                                  FirmwareLibrary& library) {
    const std::unique_ptr<ProbeEngine> engine = engineForProbe(probe);
    if (!engine || std::ranges::none_of(library.offers(), [&](const auto& offer) {
            return offer->generation == engine->generation();
        })) {
        return nullptr;
    }
    const ProbeLock lock(probe);
    if (lock.heldElsewhere()) {
        return nullptr;
    }
    try {
        const UpdateChoice choice = library.updateFor(engine->readInstalled(probe));
        return choice.relation == UpdateChoice::Relation::Newer ? choice.image : nullptr;
    } catch (const HException&) {
        return nullptr;  // what a probe that does not answer runs is info's to tell
    }
}

}  // namespace

// Lists every attached probe; none is "No devices connected" (exit code 3), so that a
// script can wait for a probe with `until kvtool-cli list; do sleep 1; done`. Where the
// firmware folders hold a newer image for a probe, it is named.
void runList(const CliOptions& options, Console& console) {
    const UsbDeviceList probes = attachedProbes();
    if (probes.isEmpty()) {
        throw CliFailure(ExitCode::NoProbe, QStringLiteral("No devices connected"))
            .with({{QStringLiteral("probes"), QJsonArray()}});
    }
    FirmwareLibrary library(FirmwareLibrary::folders());
    QList<std::shared_ptr<const ImageIdentity>> newer;
    for (const UsbDeviceInfo& probe : probes) {
        newer << newerImageOf(probe, library);
    }
    if (options.json) {
        QJsonArray entries;
        for (qsizetype i = 0; i < probes.size(); ++i) {
            QJsonObject entry = probeJson(probes[i]);
            entry.insert(QStringLiteral("newerImage"), newer[i] ? QJsonValue(imageJson(*newer[i]))
                                                                : QJsonValue(QJsonValue::Null));
            entries.append(entry);
        }
        QJsonObject result = jsonResult(options.commandName, 0);
        result.insert(QStringLiteral("probes"), entries);
        console.json(result);
        return;
    }
    // The column of newer images only when there is one to tell of.
    const bool anyNewer = std::ranges::any_of(newer, [](const auto& image) { return bool(image); });
    QList<QStringList> rows{{QStringLiteral("GENERATION"), QStringLiteral("MODE"),
                             QStringLiteral("SERIAL"), QStringLiteral("DEVICE")}};
    if (anyNewer) {
        rows.first() << QStringLiteral("NEWER FIRMWARE");
    }
    for (qsizetype i = 0; i < probes.size(); ++i) {
        const UsbDeviceInfo& probe = probes[i];
        const ProbeKind kind = ProbeKind::of(probe.productId);
        rows << QStringList{
            kind.generation ? QString::number(*kind.generation) : QStringLiteral("?"), kind.mode,
            probe.serialNumber(), probe.devicePath()};
        if (anyNewer) {
            rows.last() << (newer[i] ? QStringLiteral("%1 (%2)").arg(newer[i]->versionText,
                                                                     newer[i]->path)
                                     : QStringLiteral("-"));
        }
    }
    for (const QString& line : Console::columns(rows)) {
        console.line(line);
    }
}
