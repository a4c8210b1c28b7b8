#include "cli/InstalledFirmware.h"

#include "app/HException.h"
#include "cli/CliFailure.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "device/Ftd2xxDataLink.h"
#include "device/PipeDataLink.h"
#include "gen2/KV2Variant.h"
#include "gen2/KorvaneBootloader.h"
#include "gen3/LoaderCommands.h"

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

QJsonValue optionalNumber(std::optional<quint16> value) {
    return jsonNumber(value ? std::optional<qint64>(*value) : std::nullopt);
}

}  // namespace

InstalledFirmware InstalledFirmware::fromLoaderInfo(const LoaderInfo& info) {
    InstalledFirmware firmware;
    firmware.generation = 3;
    firmware.loaderVersionMajor = info.loaderVersionMajor;
    firmware.loaderVersionMinor = info.loaderVersionMinor;
    if (!info.hasInstalledImage()) {
        firmware.state = State::NotInstalled;
        return firmware;
    }
    firmware.state = State::Installed;
    firmware.versionMajor = info.imageHeader.versionMajor;
    firmware.versionMinor = info.imageHeader.versionMinor;
    firmware.versionText = imageVersionText(info.imageHeader);
    firmware.description = info.imageHeader.descriptionText();
    return firmware;
}

InstalledFirmware InstalledFirmware::fromProbeInfo(const ProbeInfo& info) {
    InstalledFirmware firmware;
    firmware.generation = 2;
    firmware.kind = info.kind;
    if (info.isBootloader()) {
        firmware.state = State::BootloaderRunning;
    } else if (info.isApplication()) {
        firmware.state = State::Installed;
        firmware.versionMajor = info.versionMajor;
        firmware.versionMinor = info.versionMinor;
        firmware.versionText = info.versionText();
        firmware.flags = info.flags;
    }
    return firmware;
}

QString InstalledFirmware::text() const {
    switch (state) {
        case State::Installed:
            return flags ? versionText + QStringLiteral(", ") + kv2::variantText(*flags)
                         : versionText;
        case State::NotInstalled:
            return QStringLiteral("Not Installed");
        case State::BootloaderRunning:
            return QStringLiteral("bootloader running");
        case State::Unknown:
            break;
    }
    return QStringLiteral("unknown (the probe answered with kind 0x%1)")
        .arg(kind.value_or(0), 4, 16, QLatin1Char('0'));
}

QJsonObject InstalledFirmware::toJson() const {
    QJsonValue variant(QJsonValue::Null);
    QJsonValue target(QJsonValue::Null);
    QJsonValue clocking(QJsonValue::Null);
    if (flags) {
        variant = kv2::variantText(*flags);
        target = kv2::familyFilePart(kv2::familyOf(*flags));
        clocking = kv2::clockingFilePart(kv2::clockingOf(*flags));
    }
    QJsonValue loaderVersion(QJsonValue::Null);
    if (loaderVersionMajor && loaderVersionMinor) {
        loaderVersion = kv2::versionText(*loaderVersionMajor, *loaderVersionMinor);
    }
    return QJsonObject{
        {QStringLiteral("state"), stateName(state)},
        {QStringLiteral("versionText"), jsonText(versionText)},
        {QStringLiteral("versionMajor"), optionalNumber(versionMajor)},
        {QStringLiteral("versionMinor"), optionalNumber(versionMinor)},
        {QStringLiteral("description"), generation == 3 && state == State::Installed
                                            ? QJsonValue(description)
                                            : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("variant"), variant},
        {QStringLiteral("target"), target},
        {QStringLiteral("clocking"), clocking},
        {QStringLiteral("loaderVersion"), loaderVersion},
    };
}

InstalledFirmware readInstalledFirmware(const UsbDeviceInfo& probe) {
    const ProbeKind kind = ProbeKind::of(probe.productId);
    if (kind.generation == 3) {
        Ftd2xxDataLink link(probe);
        return InstalledFirmware::fromLoaderInfo(getLoaderInfo(link));
    }
    if (kind.generation == 2) {
        PipeDataLink link(probe);
        KorvaneBootloader bootloader;
        ProbeInfo info;
        bootloader.readProbeInfo(link, info);
        return InstalledFirmware::fromProbeInfo(info);
    }
    // A failure of the read as any other, so that the caller reports it with the probe.
    throw HException(unknownProbeMessage(probe).toLocal8Bit().toStdString());
}
