#include "gen2/Gen2Engine.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/PipeDataLink.h"
#include "device/UsbDiscovery.h"
#include "device/UsbHotplugMonitor.h"
#include "device/UsbIds.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2Protocol.h"
#include "probe/ImageIdentity.h"

#include <memory>
#include <optional>

namespace {

// The image as identified (and checked) from the bytes read once; a file that did not load
// is refused with the reason found then.
const KV2FirmwareImage& loadedImage(const ImageIdentity& image) {
    if (!image.generation2Image) {
        throw HException(image.problem.toLocal8Bit().toStdString());
    }
    return *image.generation2Image;
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

Gen2Engine::Gen2Engine(QObject* parent) : ProbeEngine(parent) {
    connect(&bootloader, &KorvaneBootloader::progress, this, &ProbeEngine::progress);
}

InstalledFirmware Gen2Engine::readInstalled(const UsbDeviceInfo& probe) {
    PipeDataLink link(probe);
    ProbeInfo info;
    bootloader.readProbeInfo(link, info);
    return InstalledFirmware::fromProbeInfo(info);
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
    plan.steps = bootloader.downloadSteps(loaded, true, KorvaneBootloader::onPortOf(probe));
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
