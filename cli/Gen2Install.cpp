#include "cli/Gen2Install.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "cli/CliFailure.h"
#include "cli/ImageIdentity.h"
#include "cli/ProbeSelection.h"
#include "cli/ProgressRenderer.h"
#include "device/UsbDiscovery.h"
#include "device/UsbHotplugMonitor.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2Protocol.h"
#include "gen2/KorvaneBootloader.h"

namespace {

constexpr char INSTALLED_MESSAGE[] = "Firmware installed.";

QString hex(quint32 value) {
    return QStringLiteral("0x%1").arg(value, 0, 16);
}

// The image as identified (and checked) from the bytes read once; a file that did not load
// is refused with the reason found then.
const KV2FirmwareImage& loadedImage(const ImageIdentity& image) {
    if (!image.generation2Image) {
        throw CliFailure(ExitCode::BadImage, image.problem);
    }
    return *image.generation2Image;
}

// The probe once it is back as its application: the generation-2 device with its serial
// number (its own, which the install wrote into the image).
std::optional<UsbDeviceInfo> returnedApplication(const UsbDeviceInfo& probe) {
    for (const UsbDeviceInfo& device : findGeneration2Devices()) {
        if (device.productId == PRODUCT_ID_GENERATION2 &&
            device.serialNumber() == probe.serialNumber()) {
            return device;
        }
    }
    return std::nullopt;
}

}  // namespace

void Gen2Install::check(const UsbDeviceInfo& probe, const ImageIdentity& image) const {
    requireOnlyGeneration2Device(probe);
    // What the download would refuse only after restarting the probe into its bootloader
    // is refused now, so that a wrong file never leaves the probe there.
    KV2FirmwareImage patched = loadedImage(image);
    try {
        patched.patchSerialNumber(probe.serialNumber());
    } catch (const HException& e) {
        throw CliFailure::fromImage(e);
    }
}

InstallPlan Gen2Install::plan(const UsbDeviceInfo& probe, const ImageIdentity& image) const {
    const KV2FirmwareImage& loaded = loadedImage(image);
    InstallPlan plan;
    plan.address = kv2::APPLICATION_ZONE_START;
    plan.bytes = kv2::applicationZone(loaded.data).size();
    plan.unit = QStringLiteral("packet");
    plan.unitSize = kv2::MAX_BLOCK_SIZE;
    plan.steps = {
        QStringLiteral("restart the probe into its bootloader (EnterBootloader)"),
        QStringLiteral("wait for the bootloader: at most %1 attempts, %2 ms apart")
            .arg(kv2::BOOTLOADER_ATTEMPTS)
            .arg(kv2::BOOTLOADER_ATTEMPT_PAUSE_MS),
        QStringLiteral("write the probe's serial number %1 into the image")
            .arg(probe.serialNumber()),
        QStringLiteral("begin the download (BeginDownload)"),
        QStringLiteral("program %1 bytes from %2 in %3 packets of at most %4 bytes")
            .arg(plan.bytes)
            .arg(hex(plan.address))
            .arg(plan.count())
            .arg(plan.unitSize),
        QStringLiteral("verify them in %1 packets").arg(plan.count()),
        QStringLiteral("confirm that every reply was read for its own request (ReadInfo)"),
        QStringLiteral("end the download (EndDownload); the probe restarts into its application"),
    };
    return plan;
}

void Gen2Install::run(const UsbDeviceInfo&, const ImageIdentity& image, ProgressRenderer& progress,
                      const Message& message) {
    KV2FirmwareImage loaded = loadedImage(image);
    KorvaneBootloader bootloader;
    QObject::connect(&bootloader, &KorvaneBootloader::progress, &progress,
                     &ProgressRenderer::progress);
    try {
        bootloader.downloadApplication(loaded, true);
    } catch (const HException& e) {
        progress.finish(false);
        throw CliFailure::fromOperation(e);
    }
    progress.finish(true);
    message(QLatin1String(INSTALLED_MESSAGE));
}

InstalledFirmware Gen2Install::readBack(const UsbDeviceInfo& probe, const Message& message) {
    message(QStringLiteral("Waiting for the probe to restart into its application"));
    QString lastProblem;
    UsbHotplugMonitor hotplug;
    // Bounded by the time that passed, not by the number of polls: a probe that is back
    // but slow to answer costs each poll up to the link's own time-out.
    const quint32 start = tickCountMs();
    for (;;) {
        if (const std::optional<UsbDeviceInfo> device = returnedApplication(probe)) {
            try {
                InstalledFirmware firmware = readInstalledFirmware(*device);
                if (firmware.state == InstalledFirmware::State::Installed) {
                    return firmware;
                }
                lastProblem = QStringLiteral("it answers: %1").arg(firmware.text());
            } catch (const HException& e) {
                lastProblem = messageOf(e);
            }
        }
        if (static_cast<quint32>(tickCountMs() - start) >= quint32(RESTART_WAIT_MS)) {
            break;
        }
        // Back as soon as a device comes or goes, where the kernel tells.
        hotplug.waitForChange(RESTART_POLL_MS);
    }
    throw CliFailure(
        ExitCode::Failed,
        QStringLiteral("Firmware installed, but the probe %1 did not come back as "
                       "its application within %2 s%3")
            .arg(probe.serialNumber())
            .arg(RESTART_WAIT_MS / 1000)
            .arg(lastProblem.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(lastProblem)));
}
