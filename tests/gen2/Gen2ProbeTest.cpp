// The emulated generation-2 probe on its own, and as KVTOOL_EMULATE describes it.
#include "app/Clock.h"
#include "device/UsbIds.h"
#include "emu/EmulatorSetup.h"
#include "emu/Gen2Probe.h"
#include "emu/RawPacketPipe.h"
#include "gen2/KV2Protocol.h"
#include "gen2/ReplyPairing.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

// What the probe asked of its pipe.
struct RecordingPort : PacketPort {
    struct Reply {
        QByteArray bytes;
        quint32 delayMs;
    };
    struct Restart {
        quint16 productId;
        quint32 absentMs;
        std::optional<QString> serial;
    };
    void sendToHost(const QByteArray& reply, quint32 delayMs) override {
        replies.append({reply, delayMs});
    }
    void reenumerate(quint16 productId, quint32 absentMs,
                     const std::optional<QString>& serial) override {
        restarts.append({productId, absentMs, serial});
    }
    QList<Reply> replies;
    QList<Restart> restarts;
};

QByteArray packet(kv2::Command command) {
    return kv2::bytesOf(kv2::commandPacket(command)).toByteArray();
}
QByteArray block(kv2::Command command, quint16 address, const QByteArray& data) {
    return kv2::bytesOf(kv2::blockPacket(command, address, data)).toByteArray();
}

class Gen2ProbeTest : public ::testing::Test {
protected:
    void send(const QByteArray& bytes, quint32 nowMs = 0) { probe.received(bytes, nowMs, port); }
    void enterBootloader() {
        send(packet(kv2::Command::EnterBootloader));
        port.restarts.clear();
    }
    bool verifies(quint16 address, const QByteArray& data) {
        port.replies.clear();
        send(block(kv2::Command::Verify, address, data));
        EXPECT_EQ(port.replies.size(), 1);
        return !port.replies.isEmpty() && kv2::verifyMatched(port.replies.first().bytes);
    }

    Gen2Probe probe{KV2VersionRecord{1, 5, 0x0A}, QStringLiteral("K2000001")};
    RecordingPort port;
};

TEST_F(Gen2ProbeTest, TheApplicationAnswersReadInfoAndNothingOfTheDownload) {
    EXPECT_EQ(probe.mode(), Gen2Probe::Mode::Application);
    send(packet(kv2::Command::ReadInfo));
    ASSERT_EQ(port.replies.size(), 1);
    EXPECT_EQ(port.replies[0].bytes, QByteArray::fromHex("000200010005000a") + QByteArray(56, 0));
    EXPECT_EQ(port.replies[0].delayMs, Gen2Probe::READ_INFO_MS);

    const QByteArray flash = probe.flash();
    send(packet(kv2::Command::BeginDownload));
    send(block(kv2::Command::Program, 0x300, QByteArray(32, 'x')));
    send(block(kv2::Command::Verify, 0x300, QByteArray(32, 'x')));
    send(packet(kv2::Command::EndDownload));
    send(QByteArray(63, char(0x83)));  // not a packet of 64 bytes
    EXPECT_EQ(probe.flash(), flash);
    EXPECT_EQ(port.replies.size(), 1);
    EXPECT_TRUE(port.restarts.isEmpty());
}

TEST_F(Gen2ProbeTest, EnterBootloaderRestartsAsProductIdFFWithTheSameSerial) {
    send(packet(kv2::Command::EnterBootloader));
    ASSERT_EQ(port.restarts.size(), 1);
    EXPECT_EQ(port.restarts[0].productId, PRODUCT_ID_GENERATION2_BOOTLOADER);
    EXPECT_EQ(port.restarts[0].absentMs, Gen2Probe::DEFAULT_REBOOT_MS);
    EXPECT_EQ(port.restarts[0].serial, std::nullopt);
    EXPECT_EQ(probe.info(), (ProbeInfo{0xFF, 0, 0, 0}));
    send(packet(kv2::Command::ReadInfo));
    EXPECT_EQ(port.replies[0].bytes.left(8), QByteArray::fromHex("00ff000000000000"));
}

TEST_F(Gen2ProbeTest, TheBootloaderProgramsOnlyTheApplicationZoneAfterBeginDownload) {
    enterBootloader();
    send(block(kv2::Command::Program, 0x400, QByteArray(4, 'a')));
    EXPECT_TRUE(verifies(0x400, QByteArray(4, char(0xFF))));  // ignored: no BeginDownload

    send(packet(kv2::Command::BeginDownload));
    EXPECT_EQ(probe.applicationZone(), QByteArray(Gen2Probe::FLASH_SIZE - 512, char(0xFF)));
    send(block(kv2::Command::Program, 0x400, QByteArray("abcd")), 100);
    EXPECT_EQ(probe.busyForMs(100), Gen2Probe::PROGRAM_MS);
    send(block(kv2::Command::Program, 0x1F0, QByteArray(32, 'z')), 101);
    EXPECT_EQ(probe.busyForMs(101), 2 * Gen2Probe::PROGRAM_MS - 1);
    EXPECT_EQ(probe.busyForMs(200), 0u);
    send(block(kv2::Command::Program, 0x33FE, QByteArray("yz")), 200);

    EXPECT_TRUE(verifies(0x400, QByteArray("abcd")));
    EXPECT_FALSE(verifies(0x400, QByteArray("abce")));
    EXPECT_EQ(port.replies.first().bytes, QByteArray(1, 0x01) + QByteArray(63, 0));
    EXPECT_EQ(port.replies.first().delayMs, Gen2Probe::VERIFY_MS);
    // Below the zone only its top 16 bytes were written; past the flash nothing.
    EXPECT_TRUE(verifies(0x200, QByteArray(16, 'z')));
    EXPECT_FALSE(verifies(0x1F0, QByteArray(16, 'z')));
    EXPECT_TRUE(verifies(0x33FE, QByteArray("y")));
    EXPECT_FALSE(verifies(0x33FE, QByteArray("yz")));
    EXPECT_TRUE(verifies(0x500, QByteArray()));
}

TEST_F(Gen2ProbeTest, EndDownloadStartsTheProgrammedApplicationWithItsSerialNumber) {
    KV2ImageSpec spec = demoImageSpec(kv2::TargetFamily::Alder, kv2::JtagClocking::MaximumSpeed);
    spec.serialText = QStringLiteral("K2FRESH1");
    const QByteArray image = generateKV2Image(spec);
    enterBootloader();
    send(packet(kv2::Command::BeginDownload));
    for (const kv2::Block& b : kv2::splitIntoBlocks(0x200, image.size() - 512))
        send(block(kv2::Command::Program, b.address, image.mid(512 + b.offset, b.size)));
    send(packet(kv2::Command::EndDownload));
    ASSERT_EQ(port.restarts.size(), 1);
    EXPECT_EQ(port.restarts[0].productId, PRODUCT_ID_GENERATION2);
    EXPECT_EQ(port.restarts[0].serial, QStringLiteral("K2FRESH1"));
    EXPECT_EQ(probe.info(), (ProbeInfo{2, 2, 12, 0x01}));
}

TEST_F(Gen2ProbeTest, AnErasedZoneHasNothingToStartSoTheBootloaderRestarts) {
    enterBootloader();
    send(packet(kv2::Command::BeginDownload));
    send(packet(kv2::Command::EndDownload));
    ASSERT_EQ(port.restarts.size(), 1);
    EXPECT_EQ(port.restarts[0].productId, PRODUCT_ID_GENERATION2_BOOTLOADER);
    EXPECT_EQ(probe.mode(), Gen2Probe::Mode::Bootloader);
}

TEST_F(Gen2ProbeTest, FaultsAreArmedForTheNextOccasion) {
    probe.applicationKeepsAnswering(2);
    probe.bootloaderNeverAppears();
    send(packet(kv2::Command::EnterBootloader));
    send(packet(kv2::Command::ReadInfo));
    send(packet(kv2::Command::ReadInfo));
    EXPECT_EQ(port.replies.size(), 2);
    EXPECT_EQ(probe.mode(), Gen2Probe::Mode::Application);
    send(packet(kv2::Command::ReadInfo));
    EXPECT_EQ(port.replies.size(), 2);
    ASSERT_EQ(port.restarts.size(), 1);
    EXPECT_EQ(port.restarts[0].absentMs, Gen2Probe::NEVER_MS);

    probe.corruptBlock(1);
    probe.withholdReplies(2);
    send(packet(kv2::Command::BeginDownload));
    for (quint16 address : {0x200, 0x220, 0x240})
        send(block(kv2::Command::Program, address, QByteArray(32, 'p')));
    send(block(kv2::Command::Verify, 0x200, QByteArray(32, 'p')));
    send(packet(kv2::Command::ReadInfo));
    EXPECT_EQ(port.replies.size(), 2);  // both withheld
    EXPECT_TRUE(verifies(0x200, QByteArray(32, 'p')));
    EXPECT_FALSE(verifies(0x220, QByteArray(32, 'p')));
    EXPECT_TRUE(verifies(0x221, QByteArray(31, 'p')));
    EXPECT_TRUE(verifies(0x240, QByteArray(32, 'p')));
    // One-shot: the next download is clean.
    send(packet(kv2::Command::BeginDownload));
    send(block(kv2::Command::Program, 0x220, QByteArray(32, 'p')));
    EXPECT_TRUE(verifies(0x220, QByteArray(32, 'p')));
}

// The bootloader answers the pairing's requests as the pairing expects: a match for a
// block's own bytes, a mismatch for the bytes made wrong, also from one reply buffer (after
// a ReadInfo, whose answer byte 0 is 0x00 too), and a mismatch for the real Verify of a
// block programmed wrongly.
TEST_F(Gen2ProbeTest, TheBootloaderAnswersThePairingsRequestsAsItExpects) {
    const QByteArray zone = generateKV2Image(KV2ImageSpec{}).mid(512, 1000 - 512);  // 16 blocks
    const QList<kv2::Block> blocks = kv2::splitIntoBlocks(0x200, zone.size());
    for (const bool reuse : {false, true}) {
        for (const int wrong : {-1, 0, 7, 15}) {
            SCOPED_TRACE(testing::Message() << "reuse " << reuse << ", block " << wrong);
            enterBootloader();
            probe.setReusesReplyBuffer(reuse);
            probe.corruptBlock(wrong);
            send(packet(kv2::Command::BeginDownload));
            for (const kv2::Block& b : blocks)
                send(block(kv2::Command::Program, b.address, zone.mid(b.offset, b.size)));
            send(packet(kv2::Command::ReadInfo));
            ReplyPairing pairing(int(blocks.size()), quint64(wrong + 2));
            int requests = 0;
            while (pairing.phase() != ReplyPairing::Phase::Done) {
                const std::optional<ReplyPairing::Request> request = pairing.next();
                if (!request) {
                    // Nothing stale: the resync looks past its answers only when the first
                    // block, which it verifies, is wrong.
                    EXPECT_EQ(wrong, 0);
                    break;
                }
                const kv2::Block& b = blocks.at(request->block);
                const QByteArray bytes = zone.mid(b.offset, b.size);
                port.replies.clear();
                send(kv2::bytesOf(request->packet(b, bytes)).toByteArray());
                ASSERT_EQ(port.replies.size(), 1);
                const bool matched = kv2::verifyMatched(port.replies.first().bytes);
                const bool wrongBlock = !request->decoy && request->block == wrong;
                EXPECT_EQ(matched,
                          request->expected() == ReplyPairing::Answer::Match && !wrongBlock);
                if (!pairing.observe(matched ? ReplyPairing::Answer::Match
                                             : ReplyPairing::Answer::Mismatch))
                    break;
                ++requests;
            }
            EXPECT_EQ(pairing.phase() == ReplyPairing::Phase::Done, wrong < 0);
            EXPECT_GE(requests, wrong < 0 ? 16 + 16 + 32 : 1);
        }
    }
}

// ---- KVTOOL_EMULATE -------------------------------------------------------------------

TEST(Gen2ProbeOptions, VersionVariantFlagsAndReboot) {
    VirtualClock clock(5000);
    ScopedClock scoped(clock);
    const EmulatorSetup spec = EmulatorSetup::parse(
        "gen2:version=2.10:variant=cedar-max:reboot=200, gen2:flags=0x03:serial=K2X, gen2, "
        "gen2-bootloader:reboot=0");
    ASSERT_TRUE(spec.errors.isEmpty()) << spec.errors.join('\n').toStdString();
    ASSERT_EQ(spec.items.size(), 4);

    const auto first = spec.items[0].create();
    EXPECT_EQ(first->productId(), PRODUCT_ID_GENERATION2);
    Gen2Probe* probe = gen2ProbeOf(*first);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->info(), (ProbeInfo{2, 2, 10, 0x00}));
    auto* pipe = dynamic_cast<RawPacketPipe*>(first->function());
    ASSERT_NE(pipe, nullptr);
    probe->received(packet(kv2::Command::EnterBootloader), clock.tickMs(), *pipe);
    EXPECT_FALSE(first->present());
    clock.advance(199);
    EXPECT_FALSE(first->present());
    clock.advance(1);
    EXPECT_TRUE(first->present());
    EXPECT_EQ(first->productId(), PRODUCT_ID_GENERATION2_BOOTLOADER);

    EXPECT_EQ(gen2ProbeOf(*spec.items[1].create())->info(), (ProbeInfo{2, 1, 5, 0x03}));
    EXPECT_EQ(spec.items[1].create()->serialNumber(), QStringLiteral("K2X"));
    EXPECT_EQ(gen2ProbeOf(*spec.items[2].create())->info(), (ProbeInfo{2, 1, 5, 0x0A}));
    const auto loader = spec.items[3].create();
    EXPECT_EQ(loader->productId(), PRODUCT_ID_GENERATION2_BOOTLOADER);
    EXPECT_EQ(gen2ProbeOf(*loader)->mode(), Gen2Probe::Mode::Bootloader);
}

TEST(Gen2ProbeOptions, FaultsArmTheProbeAndTheTransport) {
    const EmulatorSetup spec =
        EmulatorSetup::parse("gen2:fault=never+app@1+verify@0+mute@1+unplug@640");
    ASSERT_TRUE(spec.errors.isEmpty()) << spec.errors.join('\n').toStdString();
    const auto device = spec.items[0].create();
    Gen2Probe& probe = *gen2ProbeOf(*device);
    RecordingPort port;
    probe.received(packet(kv2::Command::EnterBootloader), 0, port);
    probe.received(packet(kv2::Command::ReadInfo), 0, port);  // answered by app@1, muted
    EXPECT_TRUE(port.replies.isEmpty());
    probe.received(packet(kv2::Command::ReadInfo), 0, port);
    ASSERT_EQ(port.restarts.size(), 1);
    EXPECT_EQ(port.restarts[0].absentMs, Gen2Probe::NEVER_MS);
    probe.received(packet(kv2::Command::BeginDownload), 0, port);
    probe.received(block(kv2::Command::Program, 0x200, "q"), 0, port);
    probe.received(block(kv2::Command::Verify, 0x200, "q"), 0, port);
    ASSERT_EQ(port.replies.size(), 1);
    EXPECT_FALSE(kv2::verifyMatched(port.replies[0].bytes));
    bool unplug = false;
    EXPECT_EQ(device->faults().passBytes(UsbFrame::Direction::Out, 1000, unplug), 640);
    EXPECT_TRUE(unplug);
}

TEST(Gen2ProbeOptions, MalformedValuesAreReportedAndLeftOut) {
    const EmulatorSetup spec = EmulatorSetup::parse(
        "gen2:version=2, gen2:version=1.x, gen2:variant=oak-max, gen2:flags=0x10000, "
        "gen2:reboot=-1, gen2:fault=verify, gen2:fault=never@3, gen2:fault=melt, "
        "gen2-bootloader:version=1.0, gen2:fault=mute");
    EXPECT_EQ(spec.errors.size(), 9) << spec.errors.join('\n').toStdString();
    ASSERT_EQ(spec.items.size(), 1);
    EXPECT_EQ(spec.items[0].options.value(QStringLiteral("fault")), QStringLiteral("mute"));
    EXPECT_TRUE(EmulatorSetup::kindDescriptions()
                    .filter(QStringLiteral("gen2:"))
                    .first()
                    .contains(QStringLiteral("verify@K")));
}

}  // namespace
