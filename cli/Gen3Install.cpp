#include "cli/Gen3Install.h"

#include "app/HException.h"
#include "cli/CliFailure.h"
#include "cli/ImageIdentity.h"
#include "cli/ProgressRenderer.h"
#include "device/Ftd2xxDataLink.h"
#include "gen3/Gen3Installer.h"
#include "gen3/ImageFile.h"

namespace {

QString hex(quint32 value) {
    return QStringLiteral("0x%1").arg(value, 0, 16);
}

}  // namespace

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
        progress.finish(false, Gen3Installer::isStepFailure(e.messageText()));
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
