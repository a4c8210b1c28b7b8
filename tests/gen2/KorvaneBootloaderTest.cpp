// The bootloader download against the emulated generation-2 probe, on virtual time.
#include "Gen2TestSupport.h"
#include "ImageBytes.h"

#include "device/PipeDataLink.h"
#include "device/UsbIds.h"
#include "emu/RawPacketPipe.h"
#include "gen2/KorvaneBootloader.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using imagebytes::zeros;

QByteArray command(kv2::Command code) {
    return char(code) + zeros(63);
}

// The Verify packet of block `index` of `image` with the image's own bytes.
QByteArray realVerify(const KV2FirmwareImage& image, int index) {
    const QByteArray zone = image.data.mid(512);
    const kv2::Block block = kv2::splitIntoBlocks(512, zone.size()).at(index);
    return kv2::bytesOf(kv2::blockPacket(kv2::Command::Verify, block.address,
                                         zone.mid(block.offset, block.size)))
        .toByteArray();
}

// The indices of the blocks that the Verify packets carry with the image's own bytes, in
// the order sent, -1 for a Verify of a block with other bytes (a decoy). Fails the test
// for a Verify that is not of a block of the image.
QList<int> verifiedBlocks(const KV2FirmwareImage& image, const QList<QByteArray>& verifies) {
    const QByteArray zone = image.data.mid(512);
    const QList<kv2::Block> blocks = kv2::splitIntoBlocks(512, zone.size());
    QList<int> indices;
    for (const QByteArray& packet : verifies) {
        const std::optional<kv2::Request> request = kv2::parseRequest(packet);
        const qsizetype index = request ? (request->address - 512) / 32 : -1;
        EXPECT_TRUE(index >= 0 && index < blocks.size() &&
                    blocks[index].size == request->data.size())
            << packet.toHex().toStdString();
        if (index < 0 || index >= blocks.size())
            return indices;
        const kv2::Block& block = blocks[index];
        indices << (request->data == zone.mid(block.offset, block.size) ? int(index) : -1);
    }
    return indices;
}

class KorvaneBootloaderTest : public ::testing::Test, public Gen2EmulatorFixture {
protected:
    KorvaneBootloaderTest() {
        QObject::connect(&bootloader, &KorvaneBootloader::progress,
                         [this](int step, int steps, const char* text, const char* units) {
                             reports.push_back(report(step, steps, text, units));
                         });
    }

    std::string download(KV2FirmwareImage& image, bool patchSerial = true) {
        return thrownMessage([&] { bootloader.downloadApplication(image, patchSerial); });
    }
    // The attempts that the wait reported, in order (without the report that closes a
    // wait that succeeded).
    std::vector<int> attempts() const {
        std::vector<int> steps;
        bool waiting = false;
        bool closed = false;
        for (const ProgressReport& r : reports) {
            if (r.text == "Waiting for bootloader to start") {
                waiting = true;
            } else if (r.text != "(null)") {
                closed = closed || waiting;
                waiting = false;
            } else if (waiting && r.steps == -1) {
                steps.push_back(r.step);
            }
        }
        if (closed && !steps.empty())
            steps.pop_back();
        return steps;
    }
    // Lets the probe finish a restart.
    void settle() { clock.sleepMs(5000); }

    KorvaneBootloader bootloader;
    std::vector<ProgressReport> reports;
};

// ---- A whole download ---------------------------------------------------------------------

TEST_F(KorvaneBootloaderTest, EveryCommandGoesOutAsItsPacket) {
    auto device = attachProbe();
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    ASSERT_EQ(download(image), "(no exception)");

    const QList<QByteArray> packets = sent(device);
    ASSERT_GE(packets.size(), 5);
    EXPECT_EQ(packets[0], command(kv2::Command::EnterBootloader));
    EXPECT_EQ(packets[1], command(kv2::Command::ReadInfo));
    EXPECT_EQ(packets[2], command(kv2::Command::BeginDownload));
    EXPECT_EQ(packets[3],
              QByteArray::fromHex("810000020020") + image.data.mid(512, 32) + zeros(26));
    EXPECT_EQ(packets.last(), command(kv2::Command::EndDownload));
    const QList<QByteArray> program = sent(device, kv2::Command::Program);
    ASSERT_EQ(program.size(), (8192 - 512) / 32);
    EXPECT_EQ(program.last(),
              QByteArray::fromHex("8100001fe020") + image.data.mid(8160, 32) + zeros(26));
    // Programming ends before verifying starts; between them and EndDownload only Verify.
    const QList<QByteArray> verify = sent(device, kv2::Command::Verify);
    EXPECT_EQ(packets.size(), 4 + program.size() + verify.size());
    EXPECT_EQ(packets.mid(3 + program.size(), verify.size()), verify);
    for (const QByteArray& packet : packets)
        EXPECT_EQ(packet.size(), 64);

    // The resync first (of the first block, starting with wrong data), then every block
    // with the image's bytes in address order, then the trailer; Verify packets of wrong
    // data among them.
    const QList<int> blocks = verifiedBlocks(image, verify);
    ASSERT_EQ(blocks.size(), verify.size());
    EXPECT_EQ(blocks.first(), -1);
    for (const QByteArray& packet : verify.mid(0, ReplyPairing::RESYNC_LENGTH))
        EXPECT_EQ(packet.left(6), QByteArray::fromHex("850000020020"));
    const QList<int> body =
        blocks.mid(ReplyPairing::RESYNC_LENGTH,
                   blocks.size() - ReplyPairing::RESYNC_LENGTH - ReplyPairing::TRAILER_LENGTH);
    QList<int> inOrder = body;
    inOrder.removeAll(-1);
    EXPECT_EQ(inOrder.size(), program.size());
    for (int i = 0; i < inOrder.size(); ++i)
        EXPECT_EQ(inOrder[i], i);
    EXPECT_EQ(body.count(-1) + inOrder.size(), body.size());

    // Replies: the bootloader's information (kind 0xFF), then one per Verify: a match for
    // the image's bytes, a mismatch for wrong ones.
    const QList<QByteArray> replies = received(device);
    ASSERT_EQ(replies.size(), 1 + verify.size());
    EXPECT_EQ(replies[0], QByteArray::fromHex("00ff000000000000") + zeros(56));
    for (int i = 0; i < blocks.size(); ++i)
        EXPECT_EQ(replies[i + 1], (blocks[i] >= 0 ? zeros(1) : QByteArray(1, 1)) + zeros(63)) << i;
    EXPECT_EQ(device->openConnections(), 0);
}

TEST_F(KorvaneBootloaderTest, ThirtyThreeBytesGoOutAsABlockOf32AndOneOf1At32Higher) {
    auto device = attachBootloader();
    KV2FirmwareImage image;
    image.data = QByteArray(512 + 33, '\0');
    for (int i = 0; i < image.data.size(); ++i)
        image.data[i] = char(i * 13 + 1);
    ASSERT_EQ(download(image, false), "(no exception)");

    const QList<QByteArray> program = sent(device, kv2::Command::Program);
    ASSERT_EQ(program.size(), 2);
    const QList<QByteArray> verify = sent(device, kv2::Command::Verify);
    for (const QByteArray& packet : {program[0], realVerify(image, 0)}) {
        EXPECT_EQ(packet.mid(1, 5), QByteArray::fromHex("0000020020"));
        EXPECT_EQ(packet.mid(6, 32), image.data.mid(512, 32));
    }
    EXPECT_EQ(program[1], QByteArray::fromHex("810000022001") + image.data.right(1) + zeros(57));
    EXPECT_EQ(realVerify(image, 1),
              QByteArray::fromHex("850000022001") + image.data.right(1) + zeros(57));
    for (const QByteArray& expected : {realVerify(image, 0), realVerify(image, 1)})
        EXPECT_TRUE(verify.contains(expected));
    const std::vector<ProgressReport> tail(reports.end() - 6, reports.end());
    EXPECT_EQ(tail,
              (std::vector{report(0, 33, "Programming", "Bytes"), report(32, -1), report(33, -1),
                           report(0, 33, "Verifying", "Bytes"), report(32, -1), report(33, -1)}));
}

TEST_F(KorvaneBootloaderTest, TheFullProgressSequenceOfOneDownload) {
    attachProbe();
    KV2ImageSpec spec;
    spec.size = 1000;  // 488 bytes to send: 15 blocks of 32 and one of 8
    KV2FirmwareImage image = loadImage(spec);
    ASSERT_EQ(download(image), "(no exception)");

    // The probe restarts for 1500 ms: the first attempt (after one second) finds nothing,
    // the second one the bootloader.
    std::vector<ProgressReport> expected{report(0, 60, "Waiting for bootloader to start"),
                                         report(1, -1), report(2, -1), report(60, -1)};
    for (const char* phase : {"Programming", "Verifying"}) {
        expected.push_back(report(0, 488, phase, "Bytes"));
        for (int done = 32; done < 488; done += 32)
            expected.push_back(report(done, -1));
        expected.push_back(report(488, -1));
    }
    EXPECT_EQ(reports, expected);
}

TEST_F(KorvaneBootloaderTest, TheProbeRestartsWithTheNewFirmwareAndItsOwnSerialNumber) {
    auto device = attachProbe(1, 5, 0x0A, QStringLiteral("K2ABCDEF"));
    KV2ImageSpec spec = demoImageSpec(kv2::TargetFamily::Cedar, kv2::JtagClocking::MaximumSpeed);
    KV2FirmwareImage image = loadImage(spec);
    ASSERT_EQ(download(image), "(no exception)");
    EXPECT_EQ(image.serialNumber(), QStringLiteral("K2ABCDEF"));
    settle();
    EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2);
    EXPECT_EQ(device->serialNumber(), QStringLiteral("K2ABCDEF"));
    EXPECT_EQ(probe(device).info(), (ProbeInfo{2, 2, 12, 0x00}));
    EXPECT_EQ(probe(device).applicationZone().left(8192 - 512), image.data.mid(512));
}

TEST_F(KorvaneBootloaderTest, WithoutTheSerialPatchTheProbeTakesTheImagesSerialNumber) {
    auto device = attachProbe();
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    ASSERT_EQ(download(image, false), "(no exception)");
    settle();
    EXPECT_EQ(device->serialNumber(), QStringLiteral("00000000"));
}

TEST_F(KorvaneBootloaderTest, AProbeFoundInItsBootloaderIsStillSentEnterBootloader) {
    auto device = attachBootloader();
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    ASSERT_EQ(download(image), "(no exception)");
    EXPECT_EQ(sent(device).first(), command(kv2::Command::EnterBootloader));
    EXPECT_EQ(attempts(), (std::vector{1, 2}));
    settle();
    EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2);
    EXPECT_EQ(device->serialNumber(), QStringLiteral("K2000001"));
}

// ---- The wait for the bootloader ------------------------------------------------------

TEST_F(KorvaneBootloaderTest, AttemptsWhileTheApplicationStillAnswersFailAndCloseTheirLinks) {
    auto device = attachProbe();
    probe(device).applicationKeepsAnswering(3);
    std::vector<int> openAtSleep;
    clock.watch([&](int ms) {
        if (ms == 1000)
            openAtSleep.push_back(device->openConnections());
    });
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    ASSERT_EQ(download(image), "(no exception)");

    // Three ReadInfo answered by the application (kind 2), the fourth makes it restart,
    // the fifth attempt finds nothing, the sixth the bootloader.
    EXPECT_EQ(attempts(), (std::vector{1, 2, 3, 4, 5, 6}));
    const QList<QByteArray> replies = received(device);
    ASSERT_GE(replies.size(), 4);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(replies[i].left(2), QByteArray::fromHex("0002")) << i;
    EXPECT_EQ(replies[3].left(2), QByteArray::fromHex("00ff"));
    EXPECT_EQ(openAtSleep, std::vector<int>(6, 0));
}

TEST_F(KorvaneBootloaderTest, ASecondDeviceDuringTheWaitIsWaitedOut) {
    auto device = attachProbe();
    auto second = makeGen2Device(
        std::make_unique<Gen2Probe>(KV2VersionRecord{1, 5, 0}, QStringLiteral("K2000002")),
        QStringLiteral("K2000002"));
    // It appears once the first one is back as its bootloader (after 1500 ms).
    clock.at(START_MS + 1800, [&] { bus->attach(second); });
    clock.at(START_MS + 7500, [&] { bus->detach(second); });
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    ASSERT_EQ(download(image), "(no exception)");
    EXPECT_EQ(attempts(), (std::vector{1, 2, 3, 4, 5, 6, 7, 8}));
    // Nothing was opened while two devices were attached.
    EXPECT_TRUE(second->frameLog().frames().isEmpty());
    EXPECT_GE(device->frameLog().frames()[1].timeMs, START_MS + 8000);
}

TEST_F(KorvaneBootloaderTest, ASecondDeviceThatStaysMakesTheWaitFail) {
    auto device = attachProbe();
    clock.at(START_MS + 1800, [&] { attachBootloader(QStringLiteral("K2000002")); });
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    EXPECT_EQ(download(image), "Bootloader restore failed");
    EXPECT_EQ(attempts().size(), 59u);
    EXPECT_EQ(reports.back(), report(59, -1));
}

struct LateCase {
    quint32 rebootMs;
    int attempts;  // 0: the wait fails
    friend void PrintTo(const LateCase& c, std::ostream* os) { *os << "reboot " << c.rebootMs; }
};

class KorvaneBootloaderLate : public KorvaneBootloaderTest,
                              public ::testing::WithParamInterface<LateCase> {};

TEST_P(KorvaneBootloaderLate, TheWaitLastsSixtyAttemptsOneSecondApart) {
    auto device = attachProbe();
    probe(device).setRebootMs(GetParam().rebootMs);
    std::vector<int> pauses;
    clock.watch([&](int ms) {
        if (ms >= 1000)
            pauses.push_back(ms);
    });
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    const int expected = GetParam().attempts;
    EXPECT_EQ(download(image), expected ? "(no exception)" : "Bootloader restore failed");
    EXPECT_EQ(pauses, std::vector<int>(expected ? expected : 60, 1000));
    EXPECT_EQ(attempts().size(), size_t(expected ? expected : 59));
    EXPECT_EQ(sent(device, kv2::Command::BeginDownload).size(), expected ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Reboot, KorvaneBootloaderLate,
                         ::testing::Values(LateCase{500, 1}, LateCase{30500, 31},
                                           LateCase{59500, 60}, LateCase{60500, 0}));

TEST_F(KorvaneBootloaderTest, ABootloaderThatNeverAppearsEndsAtStep59Of60) {
    auto device = attachProbe();
    probe(device).bootloaderNeverAppears();
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    EXPECT_EQ(download(image), "Bootloader restore failed");
    EXPECT_EQ(reports.front(), report(0, 60, "Waiting for bootloader to start"));
    EXPECT_EQ(reports.back(), report(59, -1));
    EXPECT_EQ(sent(device).size(), 1);  // EnterBootloader only
}

TEST_F(KorvaneBootloaderTest, ABootloaderThatNeverAnswersCostsEveryAttemptTheReadTimeOut) {
    auto device = attachProbe();
    probe(device).withholdReplies(-1);
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    const quint32 start = clock.tickMs();
    EXPECT_EQ(download(image), "Bootloader restore failed");
    // The first attempt finds the probe restarting; the others wait out the read.
    EXPECT_EQ(clock.tickMs() - start, 60u * 1000 + 59u * 10000);
    EXPECT_EQ(sent(device, kv2::Command::ReadInfo).size(), 59);
    EXPECT_EQ(device->openConnections(), 0);
}

// ---- Refusals and failures --------------------------------------------------------------

TEST_F(KorvaneBootloaderTest, NoDeviceOrSeveralAreRefusedBeforeAnythingIsSent) {
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    EXPECT_EQ(download(image), "No devices connected");
    auto first = attachProbe();
    auto second = attachBootloader(QStringLiteral("K2000002"));
    EXPECT_EQ(download(image), "Multiple devices connected");
    EXPECT_TRUE(first->frameLog().frames().isEmpty());
    EXPECT_TRUE(second->frameLog().frames().isEmpty());
    EXPECT_TRUE(reports.empty());
}

TEST_F(KorvaneBootloaderTest, AnImageWithoutApplicationZoneIsRefusedBeforeTheProbeIsTouched) {
    auto device = attachProbe();
    KV2FirmwareImage image;
    image.data = QByteArray(511, 'x');
    EXPECT_EQ(download(image, false),
              "Firmware image is too small (511 bytes): the application zone starts at byte 512");
    EXPECT_TRUE(device->frameLog().frames().isEmpty());
}

struct SizeCase {
    int size;
    const char* message;
    friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.size << " bytes"; }
};

class KorvaneBootloaderSize : public KorvaneBootloaderTest,
                              public ::testing::WithParamInterface<SizeCase> {};

TEST_P(KorvaneBootloaderSize, TheLimitIsCheckedOnceTheBootloaderRuns) {
    auto device = attachProbe();
    KV2ImageSpec spec;
    spec.size = GetParam().size;
    KV2FirmwareImage image = loadImage(spec);
    EXPECT_EQ(download(image), GetParam().message);
    const QList<QByteArray> program = sent(device, kv2::Command::Program);
    if (GetParam().size == 13311) {
        ASSERT_EQ(program.size(), 400);
        EXPECT_EQ(program.last(),
                  QByteArray::fromHex("81000033e01f") + image.data.right(31) + zeros(27));
        settle();
        EXPECT_EQ(probe(device).applicationZone(), image.data.mid(512));
        EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2);
    } else {
        // Refused after the restart: the probe waits in its bootloader, nothing was sent.
        EXPECT_TRUE(program.isEmpty());
        EXPECT_EQ(sent(device).size(), 2);  // EnterBootloader, ReadInfo
        settle();
        EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2_BOOTLOADER);
        EXPECT_EQ(image.serialNumber(), QStringLiteral("00000000"));  // not patched
    }
    EXPECT_EQ(device->openConnections(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Limit, KorvaneBootloaderSize,
    ::testing::Values(SizeCase{13311, "(no exception)"},
                      SizeCase{13312, "Application to large to fit in appication zone"}));

TEST_F(KorvaneBootloaderTest, AVerifyMismatchStopsAtThatBlockWithoutEndDownload) {
    auto device = attachProbe();
    probe(device).corruptBlock(5);
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    EXPECT_EQ(download(image), "Application download verify failed");
    EXPECT_EQ(sent(device, kv2::Command::Program).size(), 240);
    // Nothing was sent after block 5's Verify.
    EXPECT_EQ(sent(device).last(), realVerify(image, 5));
    EXPECT_EQ(sent(device).last().left(6), QByteArray::fromHex("85000002a020"));
    EXPECT_TRUE(sent(device, kv2::Command::EndDownload).isEmpty());
    EXPECT_EQ(received(device).last().at(0), char(0x01));
    EXPECT_EQ(reports.back(), report(5 * 32, -1));
    EXPECT_EQ(device->openConnections(), 0);
    settle();
    EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2_BOOTLOADER);
}

// The bootloader's answer to the first ReadInfo of the wait comes after the host gave up on
// it, so it is still in the pipe when the next attempt asks again and is read as that
// attempt's answer. Unless set aside, it would leave each later reply to be read one
// request late: the first Verify would read a ReadInfo answer (byte 0 is 0x00, a match)
// and the last block's mismatch would never be read.
struct LateAnswerCase {
    int corruptBlock;  // -1: none
    const char* outcome;
    friend void PrintTo(const LateAnswerCase& c, std::ostream* os) {
        *os << "corrupt block " << c.corruptBlock;
    }
};

class KorvaneBootloaderLateAnswer : public KorvaneBootloaderTest,
                                    public ::testing::WithParamInterface<LateAnswerCase> {};

TEST_P(KorvaneBootloaderLateAnswer, IsNotTakenForALaterOne) {
    auto device = attachProbe();
    device->faults().inject(UsbFrame::Direction::In, TransferFault::never(), 0, 1);
    if (GetParam().corruptBlock >= 0)
        probe(device).corruptBlock(GetParam().corruptBlock);
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});  // 240 blocks
    EXPECT_EQ(download(image), GetParam().outcome);
    // Every Verify was answered by its own reply: the wrong block's own answer ended it (a
    // wrong first block already in the resync, which verifies the first block).
    const int corrupt = GetParam().corruptBlock;
    if (corrupt > 0)
        EXPECT_EQ(sent(device).last(), realVerify(image, corrupt));
    else if (corrupt == 0)
        EXPECT_TRUE(sent(device, kv2::Command::Verify).contains(realVerify(image, 0)));
    else
        EXPECT_EQ(sent(device).last(), command(kv2::Command::EndDownload));
    EXPECT_EQ(device->openConnections(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, KorvaneBootloaderLateAnswer,
    ::testing::Values(LateAnswerCase{-1, "(no exception)"},
                      LateAnswerCase{239, "Application download verify failed"},
                      LateAnswerCase{0, "Application download verify failed"}));

// A probe that answers one request twice. The ReadInfo that reaches the bootloader
// answered twice leaves one stale answer, which the resync sets aside: the wrong block is
// then found. A Verify answered twice leaves every later reply to be read one request
// late, which the pattern finds (with or without a wrong block). Either way the download
// fails and sends no EndDownload.
// Parameters: the reply sent twice (1: the ReadInfo that reaches the bootloader, 2 on the
// Verify answers: 2 to 17 the resync's, then the blocks') and the block programmed wrongly
// (-1: none).
class KorvaneBootloaderTwice : public KorvaneBootloaderTest,
                               public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(KorvaneBootloaderTwice, NeverEndsTheDownload) {
    auto device = attachProbe();
    probe(device).answerTwice(GetParam().first);
    probe(device).corruptBlock(GetParam().second);
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});  // 240 blocks
    EXPECT_EQ(download(image), "Application download verify failed");
    EXPECT_TRUE(sent(device, kv2::Command::EndDownload).isEmpty());
    EXPECT_EQ(device->openConnections(), 0);
}

INSTANTIATE_TEST_SUITE_P(Replies, KorvaneBootloaderTwice,
                         ::testing::Values(std::pair(1, 239), std::pair(2, 239),
                                           std::pair(120, 239), std::pair(240, 239),
                                           std::pair(241, -1), std::pair(242, -1)));

// Two stale answers that come just after the wait's last attempt asked (its first ReadInfo
// answered twice, long after the host gave up on it), from firmware that answers from one
// buffer, so that a Verify match reads exactly like the bootloader's information, and one
// request at a time, 400 ms each: the resync sets both aside, and the last, wrong block is
// found.
TEST_F(KorvaneBootloaderTest, TwoStaleAnswersFromAProbeWithOneReplyBufferAreCaught) {
    auto device = attachProbe();
    ReplyTiming timing;
    timing.latencyMs = 400;
    // The second attempt asks, gives up 10 s later; the third asks a second after that: the
    // answer comes 5 ms later.
    constexpr quint32 asked = 2000;
    constexpr quint32 thirdAsks = asked + 10000 + 1000;
    timing.lateMs = thirdAsks + 5 - (asked + Gen2Probe::READ_INFO_MS + timing.latencyMs);
    timing.serial = true;
    dynamic_cast<RawPacketPipe*>(device->function())->setReplyTiming(timing);
    probe(device).setReusesReplyBuffer(true);
    probe(device).answerTwice(1);
    probe(device).corruptBlock(239);
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});  // 240 blocks
    EXPECT_EQ(download(image), "Application download verify failed");
    EXPECT_TRUE(sent(device, kv2::Command::EndDownload).isEmpty());
    EXPECT_EQ(device->openConnections(), 0);
}

TEST_F(KorvaneBootloaderTest, ASerialNumberThatDoesNotFitFailsInTheBootloader) {
    auto device = attachProbe(1, 5, 0x0A, QStringLiteral("K2001"));
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    EXPECT_EQ(download(image), "Cannot set serial number, incorrect size (K2001)");
    EXPECT_TRUE(sent(device, kv2::Command::BeginDownload).isEmpty());
    settle();
    EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2_BOOTLOADER);
}

TEST_F(KorvaneBootloaderTest, LinkFailuresDuringTheDownloadKeepTheirMessagesAndCloseTheLink) {
    auto device = attachProbe();
    // The fourth Verify reply never arrives (the first IN transfer is the ReadInfo).
    device->faults().inject(UsbFrame::Direction::In, TransferFault::never(), 4);
    KV2FirmwareImage image = loadImage(KV2ImageSpec{});
    EXPECT_EQ(download(image), "read operation timed out");
    EXPECT_EQ(device->openConnections(), 0);
    EXPECT_TRUE(sent(device, kv2::Command::EndDownload).isEmpty());

    // Pulled out half-way through programming.
    device->faults().clear();
    device->faults().unplugAfter(UsbFrame::Direction::Out, 64 * 100);
    EXPECT_EQ(download(image), "write operation failed");
    EXPECT_EQ(device->openConnections(), 0);
}

// The link for EnterBootloader cannot be opened: the download ends with the link's
// message before anything is sent. During the wait, an open refused is one failed attempt.
TEST_F(KorvaneBootloaderTest, RefusedOpeningsEndTheDownloadBeforeTheRestartAndCountInTheWait) {
    for (const auto& [refusal, message] :
         {std::pair(OpenRefusal::Busy, "device already in use"),
          std::pair(OpenRefusal::Other, "cannot open device driver")}) {
        auto device = attachProbe();
        device->faults().refuseOpen(refusal, 1);
        KV2FirmwareImage image = loadImage(KV2ImageSpec{});
        EXPECT_EQ(download(image), message);
        EXPECT_TRUE(sent(device).isEmpty());
        EXPECT_EQ(device->openConnections(), 0);
        EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2);

        // Refused twice once the restart has begun: two attempts fail, the fourth (after
        // one that finds the probe still restarting) reaches the bootloader.
        reports.clear();
        clock.at(clock.tickMs() + 1,
                 [&device, refusal = refusal] { device->faults().refuseOpen(refusal, 2); });
        EXPECT_EQ(download(image), "(no exception)");
        EXPECT_EQ(attempts(), (std::vector<int>{1, 2, 3, 4}));
        bus->detach(device);
        settle();
    }
}

TEST_F(KorvaneBootloaderTest, ConnectBootloaderRefusesAnApplicationAndClosesItsLink) {
    auto device = attachProbe();
    EXPECT_EQ(thrownMessage([&] { bootloader.connectBootloader(); }), "Bootloader not running");
    EXPECT_EQ(device->openConnections(), 0);
    probe(device).withholdReplies(1);
    EXPECT_EQ(thrownMessage([&] { bootloader.connectBootloader(); }), "read operation timed out");
    EXPECT_EQ(device->openConnections(), 0);

    bus->detach(device);
    auto loader = attachBootloader();
    const auto link = bootloader.connectBootloader();
    EXPECT_EQ(loader->openConnections(), 1);
    ProbeInfo info;
    bootloader.readProbeInfo(*link, info);
    EXPECT_EQ(info, (ProbeInfo{0xFF, 0, 0, 0}));
}

}  // namespace
