#include "device/UsbIds.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/EmulatorSetup.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

#include <gtest/gtest.h>

namespace {

TEST(EmulatorSetup, KindsDefaultSerialsAndOptions) {
    const EmulatorSetup spec =
        EmulatorSetup::parse("gen2, gen3;gen3:serial=MINE\ndevice:vid=046d:pid=c52b");
    EXPECT_TRUE(spec.errors.isEmpty()) << spec.errors.join('\n').toStdString();
    ASSERT_EQ(spec.items.size(), 4);
    EXPECT_EQ(spec.items[0].serial, QStringLiteral("K2000001"));
    EXPECT_EQ(spec.items[1].serial, QStringLiteral("K3000001"));
    EXPECT_EQ(spec.items[2].serial, QStringLiteral("MINE"));
    const auto other = spec.items[3].create();
    EXPECT_EQ(other->vendorId(), 0x046D);
    EXPECT_EQ(other->productId(), 0xC52B);
    const auto gen3 = spec.items[1].create();
    EXPECT_EQ(gen3->vendorId(), PROBE_VENDOR_ID);
    EXPECT_EQ(gen3->productId(), PRODUCT_ID_GENERATION3);
}

TEST(EmulatorSetup, ReplyTimingAndBootloaderBehaviourAreOptionsOfBothGenerations) {
    const EmulatorSetup spec = EmulatorSetup::parse(
        "gen2:latency=150:late=10500@2:jitter=0-5:seed=7:enter=ignore,"
        "gen2-bootloader:stale=2:late=0x10:buffer=reuse:fault=twice@3+twice@9:pace=serial,"
        "gen3:latency=3:jitter=1-1:pace=overlap");
    EXPECT_TRUE(spec.errors.isEmpty()) << spec.errors.join('\n').toStdString();
    ASSERT_EQ(spec.items.size(), 3);
    for (const auto& item : spec.items)
        EXPECT_NE(item.create(), nullptr);
}

TEST(EmulatorSetup, BadItemsAreReportedAndLeftOut) {
    const EmulatorSetup spec = EmulatorSetup::parse(
        "gen4, gen3:colour=blue, device:vid=xyz, gen3:noequals, gen2, gen2:latency=soon, "
        "gen3:jitter=5-1, gen2:late=10@0, gen2:enter=maybe, gen2:stale=1, "
        "gen2-bootloader:stale=65, gen3:seed=-1, gen2:buffer=old, gen3:pace=fast");
    EXPECT_EQ(spec.errors.size(), 13) << spec.errors.join('\n').toStdString();
    ASSERT_EQ(spec.items.size(), 1);
    EXPECT_EQ(spec.items[0].kind, QStringLiteral("gen2"));
}

TEST(EmulatedUsbBus, ControlFileAttachesAndDetachesWhileKeepingUnchangedDevices) {
    QTemporaryDir dir;
    const QString path = dir.filePath("probes");
    const auto write = [&](const QByteArray& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    };
    EmulatedUsbBus bus;
    bus.setControlFile(path);
    EXPECT_TRUE(bus.enumerate().isEmpty());

    write("gen3\n");
    UsbDeviceList devices = bus.enumerate();
    ASSERT_EQ(devices.size(), 1);
    const auto firstDevice = bus.devices().front();

    write("gen3\ngen2:serial=K2ABCDEF\n");  // a different size, so the change is seen at once
    devices = bus.enumerate();
    ASSERT_EQ(devices.size(), 2);
    EXPECT_EQ(bus.devices().front(), firstDevice);  // same object: its state survives
    EXPECT_EQ(devices[1].serialNumber(), QStringLiteral("K2ABCDEF"));

    write("# nothing attached\n");
    EXPECT_TRUE(bus.enumerate().isEmpty());
}

// A device taken out of the control file is unplugged at once: the pipes open on it fail
// from the next operation on, as on a real unplug, without waiting for the next look at
// the bus. A device that stays in the file is not disturbed.
TEST(EmulatedUsbBus, ADeviceTakenOutOfTheControlFileLosesItsOpenPipesAtOnce) {
    QTemporaryDir dir;
    const QString path = dir.filePath("probes");
    const auto write = [&](const QByteArray& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    };
    write("gen3:serial=STAYS\ngen3:serial=LEAVES\n");
    EmulatedUsbBus bus;
    bus.setControlFile(path);
    const UsbDeviceList devices = bus.enumerate();
    ASSERT_EQ(devices.size(), 2);
    const std::unique_ptr<UsbPipes> stays = bus.open(devices[0]);
    const std::unique_ptr<UsbPipes> leaves = bus.open(devices[1]);
    const quint8 purge[] = {0};
    EXPECT_TRUE(leaves->vendorRequest(0, 0, 1, QByteArray()));
    EXPECT_EQ(leaves->write(purge, 1, 1000).status, TransferResult::Completed);

    write("gen3:serial=STAYS\n");
    // A change only just seen may be a file caught half-written (truncated, not written
    // yet): the pipes take it once it has stayed the same for a moment.
    EXPECT_EQ(leaves->write(purge, 1, 1000).status, TransferResult::Completed);
    QThread::msleep(EmulatedUsbBus::SETTLE_MS + 10);
    EXPECT_EQ(leaves->write(purge, 1, 1000).status, TransferResult::NotStarted);
    EXPECT_FALSE(leaves->vendorRequest(0, 0, 1, QByteArray()));
    EXPECT_EQ(stays->write(purge, 1, 1000).status, TransferResult::Completed);
    EXPECT_EQ(bus.enumerate().size(), 1);
}

}  // namespace
