// A whole generation-2 download through the Linux backend (sysfs discovery, libusb pipes)
// with the emulated probe answering behind umockdev. The probe's two restarts (into its
// bootloader, and back into the new application) appear as the kernel shows them: the
// device is removed ("remove" uevent) and comes back at a new address with the product id
// of its new mode ("add"). Then kvtool-cli itself, installing on several probes that all
// restart at once.
#include "CliUnderTestbed.h"
#include "UmockdevTestbed.h"
#include "UsbdevfsHandler.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/LinuxUsbBackend.h"
#include "device/PipeDataLink.h"
#include "device/UsbDiscovery.h"
#include "device/UsbIds.h"
#include "emu/Gen2Probe.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KorvaneBootloader.h"
#include "gen2/ReplyPairing.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

// Real time, except that sleeping takes none: the sleep is added to the time at once. So
// the bootloader wait costs nothing, while libusb and the usbdevfs handler still see real
// time pass for transfers. After every sleep the hook runs (on the sleeping thread).
class SkippingClock : public Clock {
public:
    quint32 tickMs() override { return steady.tickMs() + skipped.load(); }
    void sleepMs(int milliseconds) override {
        if (milliseconds > 0)
            skipped += quint32(milliseconds);
        if (afterSleep)
            afterSleep();
    }
    std::function<void()> afterSleep;

private:
    SteadyClock steady;
    std::atomic<quint32> skipped{0};
};

// Keeps the fake sysfs and /dev in step with an emulated device's presence and identity,
// as the kernel would after the device re-enumerated: on its port, at the next address
// that the bus (`nextAddress`, shared by the devices on one bus) hands out.
class BusMirror {
public:
    BusMirror(UmockdevTestbed& testbed, std::shared_ptr<EmulatedDevice> device, QString port,
              int& nextAddress)
        : testbed(testbed),
          device(std::move(device)),
          port(std::move(port)),
          nextAddress(nextAddress) {}

    void sync() {
        const bool present = device->present();
        const quint16 productId = device->productId();
        const QString serial = device->serialNumber();
        if (shown && (!present || shown->productId != productId || shown->serialNumber != serial)) {
            testbed.removeUsbDevice(*shown);
            events.push_back(
                QStringLiteral("remove %1 %2").arg(shown->address).arg(shown->productId));
            shown.reset();
        }
        if (!shown && present) {
            FakeUsbDevice fake{port, 1, nextAddress++, PROBE_VENDOR_ID, productId, serial};
            handlers.push_back(std::make_unique<UsbdevfsHandler>(device));
            // Adding a device makes umockdev send its "add" uevent.
            ASSERT_TRUE(testbed.addUsbDevice(fake, handlers.back().get()));
            events.push_back(QStringLiteral("add %1 %2").arg(fake.address).arg(productId));
            shown = fake;
        }
    }

    std::vector<QString> events;

private:
    UmockdevTestbed& testbed;
    std::shared_ptr<EmulatedDevice> device;
    QString port;
    int& nextAddress;
    std::optional<FakeUsbDevice> shown;
    // Each device node has its own handler; all of them outlive the testbed's use.
    std::vector<std::unique_ptr<UsbdevfsHandler>> handlers;
};

class Gen2DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testbed.valid());
        testbed.addRootHub();
        probeDevice = makeGen2Device(
            std::make_unique<Gen2Probe>(KV2VersionRecord{1, 5, 0x0A}, QStringLiteral("K2000001")),
            QStringLiteral("K2000001"));
        mirror.emplace(testbed, probeDevice, QStringLiteral("1-2"), nextAddress);
        mirror->sync();
        clock.afterSleep = [this] { mirror->sync(); };
        backend.emplace(std::make_unique<LinuxUsbBackend>());
    }
    void TearDown() override { backend.reset(); }

    // Destroyed in reverse: the backend (and libusb) first, then the testbed, then the
    // handlers that the mirror keeps.
    int nextAddress = 3;
    std::optional<BusMirror> mirror;
    UmockdevTestbed testbed;
    std::shared_ptr<EmulatedDevice> probeDevice;
    SkippingClock clock;
    ScopedClock scoped{clock};
    std::optional<ScopedUsbBackend> backend;
    QTemporaryDir files;
};

TEST_F(Gen2DownloadTest, ACompleteDownloadWithTheRestartsSeenAsRemoveAndAddUevents) {
    KV2ImageSpec spec =
        demoImageSpec(kv2::TargetFamily::Cedar, kv2::JtagClocking::VariableSpeedAndAdaptive);
    spec.size = 2048;  // 48 blocks: the probe takes real milliseconds per block here
    const QString path = files.filePath(QStringLiteral("kv_cedar_var.bin"));
    writeKV2ImageFile(path, generateKV2Image(spec));
    KV2FirmwareImage image;
    image.load(HPath(path), QString());

    const UsbDeviceList before = findGeneration2Devices();
    ASSERT_EQ(before.size(), 1);
    EXPECT_EQ(before[0].devicePath(), QStringLiteral("/dev/bus/usb/001/003"));

    KorvaneBootloader bootloader;
    std::vector<int> attempts;  // the steps the wait reported
    bool waiting = false;
    QObject::connect(&bootloader, &KorvaneBootloader::progress,
                     [&](int step, int steps, const char* text, const char*) {
                         if (text != nullptr)
                             waiting = steps == 60;
                         else if (waiting)
                             attempts.push_back(step);
                     });
    try {
        bootloader.downloadApplication(image, true);
    } catch (const HException& e) {
        FAIL() << e.messageText();
    }
    // Restarting for 1500 ms: the first attempt finds no device, the second the bootloader
    // at its new address.
    EXPECT_EQ(attempts, (std::vector<int>{1, 2, 60}));

    sleepMs(2000);  // the probe restarts into the new application
    EXPECT_EQ(mirror->events, (std::vector<QString>{"add 3 2", "remove 3 2", "add 4 255",
                                                    "remove 4 255", "add 5 2"}));
    const UsbDeviceList after = findGeneration2Devices();
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after[0].productId, PRODUCT_ID_GENERATION2);
    EXPECT_EQ(after[0].serialNumber(), QStringLiteral("K2000001"));
    EXPECT_EQ(after[0].devicePath(), QStringLiteral("/dev/bus/usb/001/005"));

    PipeDataLink link(after[0]);
    ProbeInfo info;
    bootloader.readProbeInfo(link, info);
    EXPECT_EQ(info, (ProbeInfo{2, 2, 12, 0x08}));

    QByteArray zone;
    probeDevice->withLock([&] { zone = gen2ProbeOf(*probeDevice)->applicationZone(); });
    EXPECT_EQ(zone.left(image.data.size() - 512), image.data.mid(512));
    const QList<UsbFrame> out =
        probeDevice->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::Out);
    // EnterBootloader, ReadInfo, BeginDownload, 48 Program, the Verify packets (the 48
    // blocks' among those of known answers), EndDownload, ReadInfo.
    qsizetype verifies = 0;
    for (const UsbFrame& frame : out)
        verifies += frame.bytes.startsWith(char(kv2::Command::Verify)) ? 1 : 0;
    EXPECT_GE(verifies, 48 + ReplyPairing::RESYNC_LENGTH + ReplyPairing::TRAILER_LENGTH);
    EXPECT_EQ(out.size(), 1 + 1 + 1 + 48 + verifies + 1 + 1);
}

// kvtool-cli itself on several probes (CliUnderTestbed), in real time, with every restart
// mirrored onto the bus as it happens.
class Gen2RackUmockdevTest : public ::testing::Test {
protected:
    static constexpr int PROBES = 3;

    void SetUp() override {
        ASSERT_TRUE(testbed.valid());
        testbed.addRootHub();
        for (int i = 0; i < PROBES; ++i) {
            const QString serial = QStringLiteral("K20000%1").arg(11 + i);
            devices.push_back(makeGen2Device(
                std::make_unique<Gen2Probe>(KV2VersionRecord{1, 5, 0x0A}, serial), serial));
            mirrors.push_back(std::make_unique<BusMirror>(
                testbed, devices.back(), QStringLiteral("1-%1").arg(2 + i), nextAddress));
            mirrors.back()->sync();
        }
    }
    void syncBus() {
        for (const std::unique_ptr<BusMirror>& mirror : mirrors) {
            mirror->sync();
        }
    }

    // Destroyed in reverse: the devices, then the testbed, then the handlers it calls.
    int nextAddress = 2;
    std::vector<std::unique_ptr<BusMirror>> mirrors;
    UmockdevTestbed testbed;
    std::vector<std::shared_ptr<EmulatedDevice>> devices;
    QTemporaryDir files;
};

TEST_F(Gen2RackUmockdevTest, InstallAllOnProbesThatRestartAtOnceInstallsEachOnItsOwnPort) {
    KV2ImageSpec spec = demoImageSpec(kv2::TargetFamily::Birch, kv2::JtagClocking::MaximumSpeed);
    spec.size = 2048;
    const QString path = files.filePath(QStringLiteral("kv_birch_max.bin"));
    writeKV2ImageFile(path, generateKV2Image(spec));

    const CliOutcome run = runCliUnderTestbed(
        {QStringLiteral("install"), path, QStringLiteral("--all"), QStringLiteral("--json")},
        [this] { syncBus(); });
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QByteArray& out = run.out;
    const QList<QByteArray> lines = out.trimmed().split('\n');
    const QJsonObject result = QJsonDocument::fromJson(lines.last()).object();
    EXPECT_TRUE(result.value(QLatin1String("ok")).toBool()) << out.toStdString();
    const QJsonArray probes = result.value(QLatin1String("probes")).toArray();
    ASSERT_EQ(probes.size(), PROBES) << out.toStdString();
    for (int i = 0; i < PROBES; ++i) {
        const QString serial = devices[i]->serialNumber();
        SCOPED_TRACE(serial.toStdString());
        const auto entry = std::ranges::find_if(probes, [&](const QJsonValue& probe) {
            return probe.toObject().value(QLatin1String("serial")).toString() == serial;
        });
        ASSERT_NE(entry, probes.end());
        EXPECT_EQ(entry->toObject().value(QLatin1String("result")).toString(),
                  QStringLiteral("installed"))
            << entry->toObject().value(QLatin1String("error")).toString().toStdString();
        EXPECT_EQ(entry->toObject().value(QLatin1String("port")).toString(),
                  QStringLiteral("1-%1").arg(2 + i));
        // Into its bootloader and back, on its own port: two restarts.
        EXPECT_EQ(mirrors[i]->events.size(), 5u);

        // The image with this probe's own serial number.
        KV2FirmwareImage image;
        image.load(HPath(path), serial);
        const QByteArray expected = kv2::applicationZone(image.data).toByteArray();
        QByteArray zone;
        devices[i]->withLock([&] { zone = gen2ProbeOf(*devices[i])->applicationZone(); });
        EXPECT_EQ(zone.left(expected.size()), expected);
    }
}

}  // namespace
