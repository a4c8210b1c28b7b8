// The generation-2 engine: the image it installs and the wait for the probe to come back
// as its application.

#include "Gen2TestSupport.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/PipeDataLink.h"
#include "device/UsbBackend.h"
#include "device/UsbIds.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/Gen2Probe.h"
#include "engines/ProbeEngines.h"
#include "gen2/Gen2Engine.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2VersionRecord.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

// A probe that is back on the bus but answers nothing costs each look at it the link's
// whole time-out; the wait still ends once its time is up, not after a number of looks.
TEST(Gen2RestartWait, EndsWhenItsTimeIsUpEvenIfEveryLookTimesOut) {
    Gen2EmulatorFixture rig;
    Gen2EmulatorFixture::probe(rig.attachProbe(2, 12)).withholdReplies(-1);
    const UsbDeviceInfo probe = rig.bus->enumerate().value(0);

    const quint32 start = tickCountMs();
    try {
        Gen2Engine().awaitReturn(probe);
        ADD_FAILURE() << "the wait did not fail";
    } catch (const HException& failure) {
        const QString message = messageOf(failure);
        EXPECT_TRUE(message.contains(QStringLiteral("within 30 s"))) << message.toStdString();
        EXPECT_TRUE(message.contains(QStringLiteral("read operation timed out")))
            << message.toStdString();
    }
    const quint32 waited = tickCountMs() - start;
    EXPECT_GE(waited, quint32(Gen2Engine::RESTART_WAIT_MS));
    EXPECT_LE(waited, quint32(Gen2Engine::RESTART_WAIT_MS + PipeDataLink::DEFAULT_PIPE_TIMEOUT_MS +
                              Gen2Engine::RESTART_POLL_MS));
}

// The image is checked when it is identified; the probe must receive those very bytes,
// whatever becomes of the file before the install runs.
TEST(Gen2InstallImage, IsTheOneIdentifiedEvenIfTheFileChangesAfterwards) {
    Gen2EmulatorFixture rig;
    const QString serial = QStringLiteral("K2000001");
    const auto device = rig.attachProbe(1, 5, 0x0A, serial);
    const UsbDeviceInfo probe = rig.bus->enumerate().value(0);

    const QString path = rig.writeImage(KV2ImageSpec{}, QStringLiteral("kv_cedar_max.bin"));
    const ImageIdentity image = identifyImage(path);
    ASSERT_TRUE(image.installable()) << image.problem.toStdString();
    writeKV2ImageFile(path, QByteArray(20000, 'x'));  // no image at all, and too large

    Gen2Engine engine;
    EXPECT_NO_THROW(engine.check(probe, image));
    EXPECT_NO_THROW(engine.plan(probe, image).run());

    KV2FirmwareImage expected = *std::any_cast<KV2FirmwareImage>(&image.loaded);
    expected.patchSerialNumber(serial);
    const Gen2Probe* firmware = gen2ProbeOf(*device);
    ASSERT_NE(firmware, nullptr);
    EXPECT_EQ(firmware->applicationZone().left(kv2::applicationZone(expected.data).size()),
              kv2::applicationZone(expected.data).toByteArray());
}

// The probe that restarts through its bootloader is followed by its port: another probe in
// its bootloader meanwhile, or one that restarts at the same time (as when several are
// installed at once), even one that reports the same serial number, is neither taken for
// it nor sent anything.
TEST(Gen2Engine, FollowsItsProbeByPortWhileAnotherIsInItsBootloader) {
    struct Other {
        const char* serial;
        bool restartsToo;
    };
    for (const Other other : {Other{"K2000002", false}, Other{"K2000001", false},
                              Other{"K2000002", true}, Other{"K2000001", true}}) {
        SCOPED_TRACE(std::string(other.serial) + (other.restartsToo ? " restarting" : ""));
        Gen2EmulatorFixture rig;
        EmulatedUsbBus* bus = rig.bus;
        const auto device = rig.attachProbe();
        const UsbDeviceInfo probe = bus->enumerate().value(0);
        const QString otherSerial = QLatin1String(other.serial);
        const auto another = other.restartsToo ? rig.attachProbe(1, 5, 0x0A, otherSerial)
                                               : rig.attachBootloader(otherSerial);
        if (other.restartsToo) {
            // Its own install sent it EnterBootloader just before: it leaves the bus and
            // comes back as its bootloader while this probe is awaited.
            const kv2::Packet enter = kv2::commandPacket(kv2::Command::EnterBootloader);
            bus->open(bus->enumerate().value(1))->write(enter.data(), kv2::PACKET_SIZE, 1000);
        }
        const qsizetype framesBefore = another->frameLog().size();

        const QString path = rig.writeImage(KV2ImageSpec{}, QStringLiteral("kv_cedar_max.bin"));
        Gen2Engine engine;
        EXPECT_NO_THROW(engine.plan(probe, identifyImage(path)).run());
        const InstalledFirmware after = engine.awaitReturn(probe);
        EXPECT_EQ(after.versionText, QStringLiteral("2.12"));
        EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2);
        EXPECT_EQ(another->productId(), PRODUCT_ID_GENERATION2_BOOTLOADER);
        EXPECT_EQ(another->frameLog().size(), framesBefore);
    }
}

}  // namespace
