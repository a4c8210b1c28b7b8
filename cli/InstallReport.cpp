#include "cli/InstallReport.h"

#include "app/HException.h"
#include "cli/Console.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "engines/ProbeEngines.h"
#include "gen2/KV2Variant.h"

#include <QJsonArray>
#include <QSysInfo>

namespace {

QString stateName(InstalledFirmware::State state) {
    switch (state) {
        case InstalledFirmware::State::Installed:
            return QStringLiteral("installed");
        case InstalledFirmware::State::NotInstalled:
            return QStringLiteral("notInstalled");
        case InstalledFirmware::State::BootloaderRunning:
            return QStringLiteral("bootloaderRunning");
        case InstalledFirmware::State::Unknown:
            break;
    }
    return QStringLiteral("unknown");
}

}  // namespace

QString firmwareText(const InstalledFirmware& firmware) {
    switch (firmware.state) {
        case InstalledFirmware::State::Installed:
            return firmware.flags ? firmware.versionText + QStringLiteral(", ") +
                                        kv2::variantText(*firmware.flags)
                                  : firmware.versionText;
        case InstalledFirmware::State::NotInstalled:
            return QStringLiteral("Not Installed");
        case InstalledFirmware::State::BootloaderRunning:
            return QStringLiteral("bootloader running");
        case InstalledFirmware::State::Unknown:
            break;
    }
    return QStringLiteral("unknown (the probe answered with kind 0x%1)")
        .arg(firmware.kind.value_or(0), 4, 16, QLatin1Char('0'));
}

QJsonObject firmwareJson(const InstalledFirmware& firmware) {
    QJsonValue variant(QJsonValue::Null);
    QJsonValue target(QJsonValue::Null);
    QJsonValue clocking(QJsonValue::Null);
    if (firmware.flags) {
        variant = kv2::variantText(*firmware.flags);
        target = kv2::familyFilePart(kv2::familyOf(*firmware.flags));
        clocking = kv2::clockingFilePart(kv2::clockingOf(*firmware.flags));
    }
    QJsonValue loaderVersion(QJsonValue::Null);
    if (firmware.loaderVersionMajor && firmware.loaderVersionMinor) {
        loaderVersion =
            kv2::versionText(*firmware.loaderVersionMajor, *firmware.loaderVersionMinor);
    }
    const bool described =
        firmware.generation == 3 && firmware.state == InstalledFirmware::State::Installed;
    return QJsonObject{
        {QStringLiteral("state"), stateName(firmware.state)},
        {QStringLiteral("versionText"), jsonText(firmware.versionText)},
        {QStringLiteral("versionMajor"), jsonNumber(firmware.versionMajor)},
        {QStringLiteral("versionMinor"), jsonNumber(firmware.versionMinor)},
        {QStringLiteral("description"),
         described ? QJsonValue(firmware.description) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("variant"), variant},
        {QStringLiteral("target"), target},
        {QStringLiteral("clocking"), clocking},
        {QStringLiteral("loaderVersion"), loaderVersion},
    };
}

QJsonObject planJson(const PlanSummary& plan) {
    return QJsonObject{
        {QStringLiteral("address"), qint64(plan.address)},
        {QStringLiteral("bytes"), plan.bytes},
        {QStringLiteral("unit"), plan.unit},
        {QStringLiteral("unitSize"), plan.unitSize},
        {QStringLiteral("count"), plan.count},
        {QStringLiteral("steps"), QJsonArray::fromStringList(plan.steps)},
    };
}

QJsonArray phasesJson(const QList<PhaseTime>& times) {
    QJsonArray phases;
    for (const PhaseTime& time : times) {
        phases.append(QJsonObject{{QStringLiteral("phase"), phaseName(time.phase)},
                                  {QStringLiteral("seconds"), double(time.ms) / MS_PER_S}});
    }
    return phases;
}

QJsonObject stationJson() {
    return QJsonObject{{QStringLiteral("station"), QSysInfo::machineHostName()},
                       {QStringLiteral("kvtoolVersion"), QLatin1String(KVTOOL_VERSION)}};
}

InstalledFirmware readInstalledFirmware(const UsbDeviceInfo& probe) {
    const std::unique_ptr<ProbeEngine> engine = engineForProbe(probe);
    if (!engine) {
        // A failure of the read as any other, so that the caller reports it with the probe.
        throw HException(unknownProbeMessage(probe).toLocal8Bit().toStdString());
    }
    return engine->readInstalled(probe);
}
