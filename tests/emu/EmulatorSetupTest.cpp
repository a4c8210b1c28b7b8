#include "device/UsbIds.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/EmulatorSetup.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>

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

}  // namespace
