#include "gen2/Gen2Engine.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "app/HPath.h"
#include "device/PipeDataLink.h"
#include "device/UsbDiscovery.h"
#include "device/UsbHotplugMonitor.h"
#include "device/UsbIds.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"
#include "gen2/KV2Variant.h"
#include "gen2/KV2VersionRecord.h"
#include "probe/ImageIdentity.h"

#include <QStringList>

#include <memory>
#include <optional>

namespace {

// The image as identified (and checked) from the bytes read once; a file that did not load
// is refused with the reason found then.
const KV2FirmwareImage& loadedImage(const ImageIdentity& image) {
    const auto* loaded = std::any_cast<KV2FirmwareImage>(&image.loaded);
    if (loaded == nullptr) {
        throw HException(image.problem.toLocal8Bit().toStdString());
    }
    return *loaded;
}

std::optional<qsizetype> markAt(const QByteArray& bytes, QByteArrayView pattern) {
    const qsizetype at = kv2::lastOffsetOf(bytes, pattern);
    return at >= 0 ? std::optional<qsizetype>(at) : std::nullopt;
}

// `probe` once it is back as its application on its port, with its own serial number.
std::optional<UsbDeviceInfo> returnedApplication(const UsbDeviceInfo& probe) {
    for (const UsbDeviceInfo& device : findGeneration2Devices()) {
        const bool samePlace = probe.port().isEmpty() || device.port() == probe.port();
        if (device.productId == PRODUCT_ID_GENERATION2 && samePlace &&
            device.serialNumber() == probe.serialNumber()) {
            return device;
        }
    }
    return std::nullopt;
}

}  // namespace

Gen2Engine::Gen2Engine(Follow follow, QObject* parent) : ProbeEngine(parent), follow(follow) {
    connect(&bootloader, &KorvaneBootloader::progress, this, &ProbeEngine::progress);
}

bool Gen2Engine::examine(ImageIdentity& image, QString& notMine) {
    ImageMarks& marks = image.marks;
    marks.serialMarker = markAt(image.bytes, kv2::bytesOf(kv2::SERIAL_MARKER));
    marks.deviceDescriptorPattern =
        markAt(image.bytes, kv2::bytesOf(kv2::DEVICE_DESCRIPTOR_PATTERN));
    marks.makerName = markAt(image.bytes, kv2::bytesOf(kv2::MAKER_NAME));
    if (!marks.serialMarker || !marks.deviceDescriptorPattern || !marks.makerName) {
        QStringList missing;
        if (!marks.serialMarker) {
            missing << QStringLiteral("serial-number marker");
        }
        if (!marks.deviceDescriptorPattern) {
            missing << QStringLiteral("device descriptor");
        }
        if (!marks.makerName) {
            missing << QStringLiteral("maker name");
        }
        notMine = QStringLiteral("not all generation-2 marks (missing: %1)")
                      .arg(missing.join(QStringLiteral(", ")));
        return false;
    }
    image.generation = 2;
    image.applicationBytes = kv2::applicationZone(image.bytes).size();
    if (const std::optional<KV2VersionRecord> record = KV2VersionRecord::find(image.bytes)) {
        image.versionMajor = record->versionMajor;
        image.versionMinor = record->versionMinor;
        image.variantFlags = record->flags;
        image.versionText = kv2::versionText(record->versionMajor, record->versionMinor);
    }
    marks.versionRecord = KV2VersionRecord::offsetIn(image.bytes);
    try {
        const kv2::SerialField field = kv2::locateSerialField(image.bytes);
        marks.serialField = ImageMarks::SerialField{field.offset, field.length,
                                                    kv2::readSerialField(image.bytes, field)};
        // The install loads the image exactly so; what it refuses is the problem. A file
        // the bootloader download would refuse for its size is refused as well, before the
        // probe is restarted into its bootloader.
        KV2FirmwareImage loaded;
        loaded.loadBytes(image.bytes, QString());
        loaded.checkFitsApplicationZone();
        image.loaded = std::move(loaded);
    } catch (const HException& e) {
        image.problem = messageOf(e);
    }
    return true;
}

qint64 Gen2Engine::largestImage() {
    return kv2::MAX_IMAGE_SIZE;
}

bool Gen2Engine::runs(const InstalledFirmware& firmware, const ImageIdentity& image) const {
    return firmware.state == InstalledFirmware::State::Installed && image.variantFlags &&
           firmware.versionMajor == image.versionMajor &&
           firmware.versionMinor == image.versionMinor && firmware.flags == image.variantFlags;
}

QString Gen2Engine::refusal(const ImageIdentity& image) const {
    try {
        KV2FirmwareImage loaded;
        loaded.loadBytes(image.bytes, QString());
    } catch (const HException& e) {
        return messageOf(e);
    }
    return image.problem;
}

QString Gen2Engine::cannotOpen(const QString& path) const {
    return QStringLiteral("Cannot open ") + QString::fromLocal8Bit(HPath(path).nativePathAscii());
}

InstalledFirmware Gen2Engine::readInstalled(const UsbDeviceInfo& probe) {
    PipeDataLink link(probe);
    ProbeInfo info;
    bootloader.readProbeInfo(link, info);
    return installedFirmwareOf(info);
}

void Gen2Engine::check(const UsbDeviceInfo& probe, const ImageIdentity& image) {
    KV2FirmwareImage patched = loadedImage(image);
    patched.patchSerialNumber(probe.serialNumber());
}

InstallPlan Gen2Engine::plan(const UsbDeviceInfo& probe, const ImageIdentity& image) {
    // The steps patch and send a copy of their own.
    auto loaded = std::make_shared<KV2FirmwareImage>(loadedImage(image));
    InstallPlan plan;
    plan.address = kv2::APPLICATION_ZONE_START;
    plan.bytes = kv2::applicationZone(loaded->data).size();
    plan.unit = QStringLiteral("packet");
    plan.unitSize = kv2::MAX_BLOCK_SIZE;
    plan.steps = bootloader.downloadSteps(loaded, true,
                                          follow == Follow::OnlyProbe
                                              ? KorvaneBootloader::onlyGeneration2Device()
                                              : KorvaneBootloader::onPortOf(probe));
    return plan;
}

InstalledFirmware Gen2Engine::awaitReturn(const UsbDeviceInfo& probe) {
    QString lastProblem;
    UsbHotplugMonitor hotplug;
    // Bounded by the time that passed, not by the number of looks: a probe that is back
    // but slow to answer costs each look up to the link's own time-out.
    const quint32 start = tickCountMs();
    for (;;) {
        if (const std::optional<UsbDeviceInfo> device = returnedApplication(probe)) {
            try {
                InstalledFirmware firmware = readInstalled(*device);
                if (firmware.state == InstalledFirmware::State::Installed) {
                    return firmware;
                }
                lastProblem = QStringLiteral("it answers with kind 0x%1")
                                  .arg(firmware.kind.value_or(0), 4, 16, QLatin1Char('0'));
            } catch (const HException& e) {
                lastProblem = messageOf(e);
            }
        }
        if (static_cast<quint32>(tickCountMs() - start) >= quint32(RESTART_WAIT_MS)) {
            break;
        }
        hotplug.waitForChange(RESTART_POLL_MS);
    }
    throw HException(
        QStringLiteral("Firmware installed, but the probe %1 did not come back as "
                       "its application within %2 s%3")
            .arg(probe.serialNumber())
            .arg(RESTART_WAIT_MS / 1000)
            .arg(lastProblem.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(lastProblem))
            .toLocal8Bit()
            .toStdString());
}
