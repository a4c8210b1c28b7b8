#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "cli/ProbeSelection.h"
#include "device/UsbDiscovery.h"
#include "probe/ProbeKind.h"

#include <QJsonArray>

// Lists every attached probe; none is "No devices connected" (exit code 3), so that a
// script can wait for a probe with `until kvtool-cli list; do sleep 1; done`.
void runList(const CliOptions& options, Console& console) {
    const UsbDeviceList probes = attachedProbes();
    if (probes.isEmpty()) {
        throw CliFailure(ExitCode::NoProbe, QStringLiteral("No devices connected"))
            .with({{QStringLiteral("probes"), QJsonArray()}});
    }
    if (options.json) {
        QJsonArray entries;
        for (const UsbDeviceInfo& probe : probes) {
            entries.append(probeJson(probe));
        }
        QJsonObject result = jsonResult(options.commandName, 0);
        result.insert(QStringLiteral("probes"), entries);
        console.json(result);
        return;
    }
    QList<QStringList> rows{{QStringLiteral("GENERATION"), QStringLiteral("MODE"),
                             QStringLiteral("SERIAL"), QStringLiteral("DEVICE")}};
    for (const UsbDeviceInfo& probe : probes) {
        const ProbeKind kind = ProbeKind::of(probe.productId);
        rows << QStringList{
            kind.generation ? QString::number(*kind.generation) : QStringLiteral("?"), kind.mode,
            probe.serialNumber(), probe.devicePath()};
    }
    for (const QString& line : Console::columns(rows)) {
        console.line(line);
    }
}
