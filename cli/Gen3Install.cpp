#include "cli/Gen3Install.h"

#include "app/HException.h"
#include "cli/CliFailure.h"
#include "cli/ImageIdentity.h"
#include "cli/ProgressRenderer.h"
#include "device/Ftd2xxDataLink.h"
#include "gen3/Gen3Installer.h"
#include "gen3/ImageFile.h"

namespace {

// The prefixes with which the installer's transfer steps report a failing command.
constexpr const char* STEP_FAILURE_PREFIXES[] = {
    "Erase failed : ", "Download failed : ", "Verify failed : "};

QString hex(quint32 value) {
    return QStringLiteral("0x%1").arg(value, 0, 16);
}

}  // namespace

bool isGen3StepFailure(const QString& message) {
    for (const char* prefix : STEP_FAILURE_PREFIXES) {
        if (message.startsWith(QLatin1String(prefix))) {
            return true;
        }
    }
    return false;
}

void Gen3Install::check(const UsbDeviceInfo&, const ImageIdentity& image) const {
    // The same check the install makes first, so that it fails here, before any frame.
    try {
        checkInstallImage(image.bytes, image.path);
    } catch (const HException& e) {
        throw CliFailure::fromImage(e);
    }
}

InstallPlan Gen3Install::plan(const UsbDeviceInfo&, const ImageIdentity& image) const {
    InstallPlan plan;
    plan.address = IMAGE_BASE_ADDRESS;
    plan.bytes = image.size();
    plan.unit = QStringLiteral("chunk");
    plan.unitSize = TRANSFER_CHUNK;
    const QString range = QStringLiteral("%1 bytes from %2 in %3 chunks of at most %4 bytes")
                              .arg(plan.bytes)
                              .arg(hex(plan.address))
                              .arg(plan.count())
                              .arg(plan.unitSize);
    plan.steps = {
        QStringLiteral("connect to the loader (retried while it answers busy)"),
        QStringLiteral("erase %1").arg(range),
        QStringLiteral("write %1").arg(range),
        QStringLiteral("check the CRC of %1").arg(range),
        QStringLiteral("disconnect from the loader"),
    };
    return plan;
}

void Gen3Install::run(const UsbDeviceInfo& probe, const ImageIdentity& image,
                      ProgressRenderer& progress, const Message&) {
    Gen3Installer installer;
    QObject::connect(&installer, &Gen3Installer::progress, &progress, &ProgressRenderer::progress);
    try {
        Ftd2xxDataLink link(probe);
        installer.installImage(link, image.bytes);
    } catch (const HException& e) {
        progress.finish(false, isGen3StepFailure(messageOf(e)));
        throw CliFailure::fromOperation(e);
    }
    progress.finish(true);
}

InstalledFirmware Gen3Install::readBack(const UsbDeviceInfo& probe, const Message&) {
    try {
        return readInstalledFirmware(probe);
    } catch (const HException& e) {
        throw CliFailure::fromOperation(e);
    }
}
