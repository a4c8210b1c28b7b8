#include "Gen2Rig.h"

#include "app/FirmwareDirectory.h"
#include "device/UsbIds.h"
#include "emu/EmulatedDevice.h"
#include "emu/Gen2Probe.h"
#include "emu/RawPacketPipe.h"
#include "gen2/KV2FirmwareWidget.h"
#include "gen2/KV2Protocol.h"
#include "gen2/KV2Variant.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDir>
#include <QLabel>

#include <gtest/gtest.h>

namespace {

using kv2::JtagClocking;
using kv2::TargetFamily;

constexpr QLatin1String SERIAL("K2000001");
constexpr QLatin1String SERIAL_LINE("<b>Serial Number:</b> K2000001");
constexpr QLatin1String VERSION_CAPTION("<b>Installed Version: </b>");
constexpr QLatin1String VARIANT_CAPTION("<b>Installed Variant: </b>");

// Where a frame stands in the download.
// ReturnOut and ReturnIn: after EndDownload, the host waits for the probe to come back as
// its application and reads it (ReadInfo and its answer), looking again until it does.
enum class Place {
    EnterBootloader,
    WaitOut,
    WaitIn,
    Begin,
    Program,
    VerifyOut,
    VerifyIn,
    End,
    ReturnOut,
    ReturnIn
};

// What the download ends in when the frame at `place` meets `fault`; the table the sweep
// checks, row by row (see the README's reliability section). `mismatch`: the Verify answer
// at that frame reports a mismatch in the clean install (a Verify of wrong data).
Outcome outcomeAt(Place place, FrameFault fault, bool mismatch) {
    const auto failure = [](const char* message) {
        return Outcome::failure(QLatin1String(message));
    };
    const Outcome restoreFailed = failure("Bootloader restore failed");
    const Outcome verifyFailed = failure("Application download verify failed");
    const Outcome writeFailed = failure("write operation failed");
    const Outcome writeTimedOut = failure("write operation timed out");
    switch (place) {
        case Place::EnterBootloader:
            // A garbled EnterBootloader is ignored: the application keeps running and
            // every attempt of the wait finds it instead of the bootloader.
            return fault == FrameFault::Unplug    ? writeFailed
                   : fault == FrameFault::TimeOut ? writeTimedOut
                                                  : restoreFailed;
        case Place::WaitOut:
        case Place::WaitIn:
            // The wait absorbs a failed attempt and tries again (an answer given up on is
            // read by the next attempt, the pairing sets aside the one behind it); only a
            // probe that is gone for good exhausts it.
            return fault == FrameFault::Unplug ? restoreFailed : Outcome::success();
        case Place::Begin:
        case Place::Program:
            // A garbled packet is ignored: the block stays unprogrammed and fails to verify.
            return fault == FrameFault::Unplug    ? writeFailed
                   : fault == FrameFault::TimeOut ? writeTimedOut
                                                  : verifyFailed;
        case Place::VerifyOut:
            // A garbled Verify is ignored: its answer never comes.
            return fault == FrameFault::Unplug    ? writeFailed
                   : fault == FrameFault::TimeOut ? writeTimedOut
                                                  : failure("read operation timed out");
        case Place::VerifyIn:
            // A garbled answer reports a mismatch: where a match was due, the replies cannot
            // be trusted; where a mismatch was due, it is the expected answer still.
            return fault == FrameFault::Unplug
                       ? failure("read operation failed (GetOverlappedResult)")
                   : fault == FrameFault::TimeOut ? failure("read operation timed out")
                   : mismatch                     ? Outcome::success()
                                                  : verifyFailed;
        case Place::End:
            // A garbled EndDownload is ignored: the probe stays in its bootloader, and the
            // wait for it to come back as its application says so.
            return fault == FrameFault::Unplug ? writeFailed
                   : fault == FrameFault::TimeOut
                       ? writeTimedOut
                       : Outcome::failure(QStringLiteral("Firmware installed, but the probe %1 did "
                                                         "not come back as its application "
                                                         "within 30 s")
                                              .arg(SERIAL));
        case Place::ReturnOut:
        case Place::ReturnIn: {
            // A look at the returned probe that fails is tried again; only a probe that is
            // gone for good is not back in time.
            const char* reason = place == Place::ReturnOut
                                     ? "write operation failed"
                                     : "read operation failed (GetOverlappedResult)";
            return fault == FrameFault::Unplug
                       ? Outcome::failure(QStringLiteral("Firmware installed, but the probe %1 did "
                                                         "not come back as its application "
                                                         "within 30 s (%2)")
                                              .arg(SERIAL, QLatin1String(reason)))
                       : Outcome::success();
        }
    }
    return Outcome::success();
}

void writeImage(const QString& directory, TargetFamily family, JtagClocking clocking) {
    KV2ImageSpec spec = demoImageSpec(family, clocking);
    spec.size = Gen2Rig::IMAGE_SIZE;
    writeKV2ImageFile(QDir(directory).filePath(kv2::imageFileName(family, clocking)),
                      generateKV2Image(spec));
}

}  // namespace

Gen2Rig::Gen2Rig() {
    const QString directory = files.filePath(QStringLiteral("firmware"));
    QDir().mkpath(directory);
    writeImage(directory, TargetFamily::Alder, JtagClocking::MaximumSpeed);
    writeImage(directory, TargetFamily::Cedar, JtagClocking::MaximumSpeed);
    firmwareDirectory = HPath(directory);
    createWindow();
    page = window->findChild<KV2FirmwareWidget*>();
    EXPECT_NE(page, nullptr);
}

Gen2Rig::~Gen2Rig() {
    firmwareDirectory = HPath();
}

InstallRig::Probe Gen2Rig::probeWith(std::unique_ptr<Gen2Probe> firmware) {
    const quint16 productId = productIdOf(firmware->mode());
    auto function =
        std::make_unique<FaultingFunction>(std::make_unique<RawPacketPipe>(std::move(firmware)));
    FaultingFunction* faultingFunction = function.get();
    auto device =
        std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, productId, SERIAL, std::move(function));
    faultingFunction->attachTo(*device);
    return {device, faultingFunction};
}

InstallRig::Probe Gen2Rig::makeProbe() {
    return probeWith(std::make_unique<Gen2Probe>(KV2VersionRecord{1, 5, 0x0A}, SERIAL));
}

InstallRig::Probe Gen2Rig::powerCycled() {
    // It starts what it ran (or was restarting into): the application it was programmed
    // with, or the bootloader when a download did not end.
    const Gen2Probe& before = firmware();
    if (before.mode() == Gen2Probe::Mode::Bootloader) {
        return probeWith(std::make_unique<Gen2Probe>());
    }
    const ProbeInfo info = before.info();
    return probeWith(std::make_unique<Gen2Probe>(
        KV2VersionRecord{info.versionMajor, info.versionMinor, info.flags}, SERIAL));
}

Gen2Probe& Gen2Rig::firmware() const {
    auto& pipe = dynamic_cast<RawPacketPipe&>(faulting->function());
    return dynamic_cast<Gen2Probe&>(pipe.function());
}

QPushButton* Gen2Rig::installButton() const {
    return page->findChild<QPushButton*>(QStringLiteral("installButton"));
}

QString Gen2Rig::labelText(const char* name) const {
    return page->findChild<QLabel*>(QLatin1String(name))->text();
}

QButtonGroup* Gen2Rig::group(const char* name) const {
    return page->findChild<QButtonGroup*>(QLatin1String(name));
}

void Gen2Rig::expectShown() {
    // The page is raised for the application and, as the recovery page, for the bootloader.
    EXPECT_EQ(raisedPage(), page);
    EXPECT_EQ(status(), QString(READY));
    EXPECT_EQ(serialLine(), QString(SERIAL_LINE));
    const QString version = labelText("installedVersionLabel");
    if (firmware().mode() == Gen2Probe::Mode::Bootloader) {
        EXPECT_EQ(version, VERSION_CAPTION + QStringLiteral("none (bootloader running)"));
    } else {
        EXPECT_EQ(version, QString(VERSION_CAPTION) + firmware().info().versionText());
    }
}

void Gen2Rig::prepareInstall(bool clean) {
    group("targetGroup")
        ->button(int(clean ? TargetFamily::Cedar : TargetFamily::Alder))
        ->setChecked(true);
    group("clockingGroup")->button(int(JtagClocking::MaximumSpeed))->setChecked(true);
}

void Gen2Rig::expectSuccessShown() {
    EXPECT_EQ(statusAtEnd, QStringLiteral("Firmware installed."));
}

void Gen2Rig::expectNewFirmware() {
    clock.sleepMs(3000);  // the probe restarts into its new application
    poll();
    EXPECT_EQ(probe->productId(), PRODUCT_ID_GENERATION2);
    EXPECT_EQ(labelText("installedVersionLabel"), VERSION_CAPTION + QStringLiteral("2.12"));
    EXPECT_EQ(labelText("installedVariantLabel"),
              VARIANT_CAPTION + QStringLiteral("Cedar, Maximum Speed"));
    EXPECT_EQ(serialLine(), QString(SERIAL_LINE));
}

Outcome Gen2Rig::expected(int index, FrameFault fault) {
    const QList<UsbFrame>& frames = cleanFrames();
    bool downloading = false;  // BeginDownload went out: the wait is over
    Place place = Place::EnterBootloader;
    bool ended = false;  // EndDownload went out
    for (int i = 0; i <= index; ++i) {
        const UsbFrame& frame = frames.at(i);
        if (ended) {
            place = frame.isBulkOut() ? Place::ReturnOut : Place::ReturnIn;
            continue;
        }
        if (frame.isBulkIn()) {
            place = downloading ? Place::VerifyIn : Place::WaitIn;
            continue;
        }
        switch (kv2::Command(quint8(frame.bytes.isEmpty() ? 0 : frame.bytes[0]))) {
            case kv2::Command::EnterBootloader:
                place = Place::EnterBootloader;
                break;
            case kv2::Command::ReadInfo:
                place = Place::WaitOut;
                break;
            case kv2::Command::BeginDownload:
                place = Place::Begin;
                downloading = true;
                break;
            case kv2::Command::Program:
                place = Place::Program;
                break;
            case kv2::Command::Verify:
                place = Place::VerifyOut;
                break;
            case kv2::Command::EndDownload:
                place = Place::End;
                ended = true;
                break;
        }
    }
    const QByteArray& bytes = frames.at(index).bytes;
    return outcomeAt(place, fault,
                     place == Place::VerifyIn && !bytes.isEmpty() && !kv2::verifyMatched(bytes));
}
