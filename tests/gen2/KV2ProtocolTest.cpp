#include "ImageBytes.h"
#include "app/HException.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"
#include "gen2/ProbeInfo.h"
#include "gen2/ReplyPairing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <functional>

namespace {

QByteArray bytes(const kv2::Packet& packet) {
    return kv2::bytesOf(packet).toByteArray();
}

using imagebytes::zeros;

// Image-like bytes: byte i holds i modulo 251, so that every block differs.
QByteArray counting(int size) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i % 251);
    return data;
}

// ---- Packet bytes -----------------------------------------------------------------------

struct CommandCase {
    kv2::Command command;
    const char* name;
    char code;
    friend void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }
};

class KV2CommandPacket : public ::testing::TestWithParam<CommandCase> {};

TEST_P(KV2CommandPacket, IsTheCodeFollowedBy63Zeros) {
    const QByteArray packet = bytes(kv2::commandPacket(GetParam().command));
    EXPECT_EQ(packet, GetParam().code + zeros(63));
    EXPECT_EQ(packet.size(), 64);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, KV2CommandPacket,
    ::testing::Values(CommandCase{kv2::Command::BeginDownload, "BeginDownload", char(0x80)},
                      CommandCase{kv2::Command::EndDownload, "EndDownload", char(0x82)},
                      CommandCase{kv2::Command::EnterBootloader, "EnterBootloader", char(0x83)},
                      CommandCase{kv2::Command::ReadInfo, "ReadInfo", char(0x84)}));

TEST(KV2Packet, FirstProgramPacketOfADownload) {
    const QByteArray image = counting(13311);
    const QByteArray packet = bytes(kv2::blockPacket(
        kv2::Command::Program, kv2::APPLICATION_ZONE_START,
        QByteArrayView(image).sliced(kv2::APPLICATION_ZONE_START, kv2::MAX_BLOCK_SIZE)));
    EXPECT_EQ(packet, QByteArray::fromHex("810000020020") + image.mid(512, 32) + zeros(26));
}

TEST(KV2Packet, VerifyPacketIsLaidOutAsProgram) {
    const QByteArray data = QByteArray::fromHex("a1b2c3");
    EXPECT_EQ(bytes(kv2::blockPacket(kv2::Command::Verify, 0x33FC, data)),
              QByteArray::fromHex("85000033fc03a1b2c3") + zeros(55));
    EXPECT_EQ(bytes(kv2::blockPacket(kv2::Command::Program, 0x1234, QByteArrayView())),
              QByteArray::fromHex("810000123400") + zeros(58));
}

TEST(KV2Packet, ABlockLargerThan32BytesIsRefused) {
    const QByteArray data(33, 'x');
    EXPECT_THROW(kv2::blockPacket(kv2::Command::Program, 0x200, data), HException);
    EXPECT_NO_THROW(kv2::blockPacket(kv2::Command::Program, 0x200, QByteArrayView(data).first(32)));
}

// ---- Blocks -----------------------------------------------------------------------------

TEST(KV2Blocks, ThirtyThreeBytesGoOutAs32ThenOneAt32Higher) {
    const QList<kv2::Block> expected{{0x200, 0, 32}, {0x220, 32, 1}};
    EXPECT_EQ(kv2::splitIntoBlocks(0x200, 33), expected);
}

TEST(KV2Blocks, ExactMultiplesAndEmptyTransfers) {
    EXPECT_TRUE(kv2::splitIntoBlocks(0x200, 0).isEmpty());
    const QList<kv2::Block> one{{0x200, 0, 32}};
    EXPECT_EQ(kv2::splitIntoBlocks(0x200, 32), one);
    const QList<kv2::Block> two{{0x100, 0, 32}, {0x120, 32, 32}};
    EXPECT_EQ(kv2::splitIntoBlocks(0x100, 64), two);
}

TEST(KV2Blocks, TheLargestImageCoversItsWholeApplicationZone) {
    const qsizetype count = kv2::MAX_IMAGE_SIZE - kv2::APPLICATION_ZONE_START;  // 12799
    const QList<kv2::Block> blocks = kv2::splitIntoBlocks(kv2::APPLICATION_ZONE_START, count);
    ASSERT_EQ(blocks.size(), 400);
    qsizetype next = 0;
    for (const kv2::Block& block : blocks) {
        EXPECT_EQ(block.offset, next);
        EXPECT_EQ(block.address, kv2::APPLICATION_ZONE_START + block.offset);
        next += block.size;
    }
    EXPECT_EQ(next, count);
    EXPECT_EQ(blocks.last(), (kv2::Block{0x33E0, 12768, 31}));
}

TEST(KV2Blocks, TransfersPastTheAddressSpaceAreRefused) {
    EXPECT_EQ(kv2::splitIntoBlocks(0xFFE0, 32).last().address, 0xFFE0);
    EXPECT_THROW(kv2::splitIntoBlocks(0xFFE0, 33), HException);
    EXPECT_THROW(kv2::splitIntoBlocks(0, 0x10001), HException);
    EXPECT_THROW(kv2::splitIntoBlocks(0, -1), HException);
}

// ---- Parsing (the probe's side) ---------------------------------------------------------

TEST(KV2Request, ParsesWhatTheHostBuilds) {
    const QByteArray data = counting(20);
    const kv2::Packet packet = kv2::blockPacket(kv2::Command::Verify, 0x0420, data);
    const auto request = kv2::parseRequest(kv2::bytesOf(packet));
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->is(kv2::Command::Verify));
    EXPECT_EQ(request->address, 0x0420);
    EXPECT_EQ(request->data, data);

    const auto info = kv2::parseRequest(kv2::bytesOf(kv2::commandPacket(kv2::Command::ReadInfo)));
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->is(kv2::Command::ReadInfo));
    EXPECT_TRUE(info->data.isEmpty());
}

TEST(KV2Request, RefusesPacketsOfAnotherSizeOrAnOversizedLength) {
    const QByteArray good = bytes(kv2::commandPacket(kv2::Command::Program));
    EXPECT_FALSE(kv2::parseRequest(QByteArrayView(good).first(63)));
    EXPECT_FALSE(kv2::parseRequest(QByteArray(good + '\0')));
    EXPECT_FALSE(kv2::parseRequest(QByteArrayView()));
    QByteArray oversized = good;
    oversized[5] = 33;
    EXPECT_FALSE(kv2::parseRequest(oversized));
    oversized[5] = char(0xFF);
    EXPECT_FALSE(kv2::parseRequest(oversized));
    oversized[5] = 32;
    EXPECT_TRUE(kv2::parseRequest(oversized));
}

TEST(KV2Request, KnowsItsCommandCodes) {
    EXPECT_FALSE(kv2::isCommand(0x7F));
    for (int code = 0x80; code <= 0x85; ++code)
        EXPECT_TRUE(kv2::isCommand(quint8(code))) << code;
    EXPECT_FALSE(kv2::isCommand(0x86));
    EXPECT_FALSE(kv2::isCommand(0x00));
}

// ---- Verify replies ---------------------------------------------------------------------

TEST(KV2VerifyReply, OnlyAZeroStatusByteIsAMatch) {
    EXPECT_TRUE(kv2::verifyMatched(zeros(64)));
    EXPECT_TRUE(kv2::verifyMatched(QByteArray(QByteArray(1, '\0') + QByteArray(63, char(0xFF)))));
    EXPECT_FALSE(kv2::verifyMatched(QByteArray(char(0x01) + zeros(63))));
    EXPECT_FALSE(kv2::verifyMatched(QByteArray(char(0xFF) + zeros(63))));
    EXPECT_THROW(kv2::verifyMatched(QByteArrayView()), HException);
    EXPECT_TRUE(kv2::verifyMatched(kv2::bytesOf(kv2::verifyReply(true))));
    EXPECT_FALSE(kv2::verifyMatched(kv2::bytesOf(kv2::verifyReply(false))));
}

// ---- Reply pairing ----------------------------------------------------------------------

using Answer = ReplyPairing::Answer;
using Phase = ReplyPairing::Phase;

// A bootloader as the pairing sees it: a queue of answers, each the one its request
// expects, except for the real Verify of `wrongBlock`, which reports a mismatch. `copies`
// says how many times the answer to a request (the n-th of its phase, from 0) is sent: 2
// or more for one answered twice or more, 0 for one lost. `stale` answers are queued before
// the first request. A read of the empty queue is a time-out: the download fails.
struct PairingRun {
    int blocks = 16;
    int wrongBlock = -1;
    int stale = 0;
    Answer staleAnswer = Answer::Match;  // a ReadInfo answer, whose byte 0 is 0x00
    std::function<int(Phase, int, const ReplyPairing::Request&)> copies =
        [](Phase, int, const ReplyPairing::Request&) { return 1; };
    ReplyPairing::Shape shape;

    // Whether the pairing accepted every answer; `setAside` gets the stale answers it found.
    bool succeeds(quint64 seed, int* setAside = nullptr) const {
        ReplyPairing pairing(blocks, seed, shape);
        std::deque<Answer> queue(size_t(stale), staleAnswer);
        Phase phase = Phase::Resync;
        int index = 0;
        while (pairing.phase() != Phase::Done) {
            if (pairing.phase() != phase) {
                phase = pairing.phase();
                index = 0;
            }
            if (const auto request = pairing.next()) {
                const bool wrong = !request->decoy && request->block == wrongBlock;
                const Answer answer = wrong ? Answer::Mismatch : request->expected();
                for (int n = copies(phase, index++, *request); n > 0; --n)
                    queue.push_back(answer);
            }
            if (queue.empty() || !pairing.observe(queue.front()))
                return false;
            queue.pop_front();
        }
        if (setAside != nullptr)
            *setAside = pairing.staleAnswers();
        return true;
    }
    // How many of `seeds` sessions succeed.
    int successes(int seeds) const {
        int count = 0;
        for (int seed = 1; seed <= seeds; ++seed)
            count += succeeds(quint64(seed)) ? 1 : 0;
        return count;
    }
};

TEST(ReplyPairing, InStepAnEveryBlockMatchingDownloadPassesAndAWrongBlockFails) {
    for (const int blocks : {1, 16, 400}) {
        PairingRun run;
        run.blocks = blocks;
        EXPECT_TRUE(run.succeeds(7)) << blocks;
        for (const int wrong : {0, blocks / 2, blocks - 1}) {
            run.wrongBlock = wrong;
            EXPECT_FALSE(run.succeeds(7)) << blocks << " blocks, block " << wrong << " wrong";
        }
    }
    EXPECT_EQ(ReplyPairing(0, 7).phase(), Phase::Done);  // nothing to verify
}

// Stale answers ahead of the pattern's (the late answers to the wait's ReadInfo requests,
// or old Verify answers) are found and set aside, up to MAX_STALE; one more is refused.
TEST(ReplyPairing, TheResyncSetsAsideUpToMaxStaleAnswersAndRefusesMore) {
    for (const Answer staleAnswer : {Answer::Match, Answer::Mismatch}) {
        PairingRun run;
        run.staleAnswer = staleAnswer;
        for (int stale = 0; stale <= ReplyPairing::MAX_STALE; ++stale) {
            run.stale = stale;
            int setAside = -1;
            EXPECT_TRUE(run.succeeds(quint64(stale) + 1, &setAside)) << stale;
            EXPECT_EQ(setAside, stale);
        }
        run.stale = ReplyPairing::MAX_STALE + 1;
        EXPECT_FALSE(run.succeeds(1));
    }
}

// Replies out of step from some request on (its answer sent k more times, for every k up
// to the number of requests): whether the shift starts among the blocks or in the trailer,
// whether or not a block is wrong, no such stream passes the whole trailer.
TEST(ReplyPairing, AStreamShiftedByAnyNumberOfRepliesBeforeTheTrailerEndsIsRefused) {
    for (const int blocks : {1, 16}) {
        // The first request among the blocks, the tenth (when there are so many), the first
        // of the trailer.
        for (const auto& [phase, at] :
             {std::pair(Phase::Blocks, 0), std::pair(Phase::Blocks, blocks > 9 ? 9 : 0),
              std::pair(Phase::Trailer, 0)}) {
            for (int k = 1; k <= blocks + 64; ++k) {
                PairingRun run;
                run.blocks = blocks;
                run.wrongBlock = k % 2 == 0 ? blocks - 1 : -1;
                run.copies = [phase = phase, at = at, k](Phase p, int n, const auto&) {
                    return p == phase && n == at ? 1 + k : 1;
                };
                EXPECT_FALSE(run.succeeds(quint64(k))) << blocks << " blocks, shift " << k;
            }
        }
    }
}

// The chances stated for a success out of step. Out of step for the whole trailer (the last
// block's answer sent twice), a stream passes with probability 2^-T: 1/16 with a trailer of
// 4. Out of step for W reads only (an answer sent twice, then one lost), it passes with
// probability (1 - d)^W at most: exactly 2^-W in the trailer (d = 1/2), and among the
// blocks (d = 1/16, decoys drawn independently) the chance that W + 1 classes in a row
// agree, (15/16)^(W+1) + (1/16)^(W+1).
struct ChanceCase {
    const char* name;
    Phase phase;
    int twice;  // the request of that phase answered twice (-1: the last block's)
    int lost;   // the request of that phase whose answer is lost (-1: none)
    int trailer;
    double chance;
    friend void PrintTo(const ChanceCase& c, std::ostream* os) { *os << c.name; }
};

class ReplyPairingChance : public ::testing::TestWithParam<ChanceCase> {};

TEST_P(ReplyPairingChance, IsWhatTheArgumentSays) {
    const ChanceCase& c = GetParam();
    PairingRun run;
    run.blocks = 16;
    run.shape.trailerLength = c.trailer;
    run.copies = [&c](Phase p, int n, const ReplyPairing::Request& request) {
        const bool lastBlock = !request.decoy && request.block == 15;
        return p != c.phase                               ? 1
               : (c.twice < 0 ? lastBlock : n == c.twice) ? 2
               : n == c.lost                              ? 0
                                                          : 1;
    };
    constexpr int SEEDS = 4000;
    const double expected = c.chance * SEEDS;
    const double spread = 4 * std::sqrt(expected * (1 - c.chance));  // four standard deviations
    EXPECT_NEAR(run.successes(SEEDS), expected, spread);
}

INSTANTIATE_TEST_SUITE_P(
    ReplyPairing, ReplyPairingChance,
    ::testing::Values(ChanceCase{"whole_trailer_of_4", Phase::Blocks, -1, -1, 4, 1.0 / 16},
                      ChanceCase{"three_reads_in_the_trailer", Phase::Trailer, 5, 8, 32, 1.0 / 8},
                      ChanceCase{"eight_reads_among_the_blocks", Phase::Blocks, 2, 10, 32,
                                 std::pow(15.0 / 16, 9) + std::pow(1.0 / 16, 9)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- ProbeInfo --------------------------------------------------------------------------

struct InfoCase {
    const char* reply;  // hex of the first 8 reply bytes
    quint16 kind;
    const char* version;
    const char* variant;
    kv2::TargetFamily family;
    kv2::JtagClocking clocking;
    friend void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.reply; }
};

class KV2ProbeInfo : public ::testing::TestWithParam<InfoCase> {};

TEST_P(KV2ProbeInfo, DecodesBigEndianWordsAndNamesTheVariant) {
    const InfoCase& c = GetParam();
    const QByteArray reply = QByteArray::fromHex(c.reply) + QByteArray(56, char(0xA5));
    const ProbeInfo info = ProbeInfo::decode(reply);
    EXPECT_EQ(info.kind, c.kind);
    EXPECT_EQ(info.versionText(), QString::fromLatin1(c.version));
    EXPECT_EQ(info.variantText(), QString::fromLatin1(c.variant));
    EXPECT_EQ(info.family(), c.family);
    EXPECT_EQ(info.clocking(), c.clocking);
    // The probe's side encodes the same bytes.
    EXPECT_EQ(kv2::bytesOf(info.encode()).first(8), QByteArray::fromHex(c.reply));
}

using F = kv2::TargetFamily;
using C = kv2::JtagClocking;

INSTANTIATE_TEST_SUITE_P(
    Replies, KV2ProbeInfo,
    ::testing::Values(
        InfoCase{"000200010005000a", 2, "1.5", "Birch, Variable Speed and Adaptive", F::Birch,
                 C::VariableSpeedAndAdaptive},
        InfoCase{"000200020001000a", 2, "2.1", "Birch, Variable Speed and Adaptive", F::Birch,
                 C::VariableSpeedAndAdaptive},
        InfoCase{"00020002000a0003", 2, "2.10", "Alder, Maximum Speed", F::Alder, C::MaximumSpeed},
        InfoCase{"0002000200000000", 2, "2.0", "Cedar, Maximum Speed", F::Cedar, C::MaximumSpeed},
        InfoCase{"0002000100000009", 2, "1.0", "Alder, Variable Speed and Adaptive", F::Alder,
                 C::VariableSpeedAndAdaptive},
        InfoCase{"0002000100000008", 2, "1.0", "Cedar, Variable Speed and Adaptive", F::Cedar,
                 C::VariableSpeedAndAdaptive},
        // Only the low byte of the flags counts; the versions are whole 16-bit words.
        InfoCase{"0002010200ff0b00", 2, "258.255", "Cedar, Maximum Speed", F::Cedar,
                 C::MaximumSpeed},
        InfoCase{"0002ffff0000fff2", 2, "65535.0", "Birch, Maximum Speed", F::Birch,
                 C::MaximumSpeed},
        InfoCase{"00ff000000000000", 0xFF, "0.0", "Cedar, Maximum Speed", F::Cedar,
                 C::MaximumSpeed}));

TEST(ProbeInfo, KindsAreTheProductIds) {
    ProbeInfo info;
    info.kind = 0x00FF;
    EXPECT_TRUE(info.isBootloader());
    EXPECT_FALSE(info.isApplication());
    info.kind = 0x0002;
    EXPECT_TRUE(info.isApplication());
    info.kind = 0xFF00;  // byte order matters
    EXPECT_FALSE(info.isBootloader());
}

TEST(ProbeInfo, AShortReplyIsRefused) {
    EXPECT_THROW(ProbeInfo::decode(QByteArray::fromHex("00020002000a00")), HException);
    EXPECT_THROW(ProbeInfo::decode(QByteArrayView()), HException);
    EXPECT_EQ(ProbeInfo::decode(QByteArray::fromHex("00020002000a0003")).flags, 3);
}

TEST(ProbeInfo, EncodesTheWholeReplyPacketWithZeroFill) {
    const ProbeInfo info{0x00FF, 0x0102, 0x0304, 0x0506};
    EXPECT_EQ(bytes(info.encode()), QByteArray::fromHex("00ff010203040506") + zeros(56));
    EXPECT_EQ(ProbeInfo::decode(kv2::bytesOf(info.encode())), info);
}

// ---- Variants ---------------------------------------------------------------------------

TEST(KV2Variant, FlagsNamesAndFileNamesOfEveryVariant) {
    const QStringList expectedFiles{
        QStringLiteral("kv_alder_max.bin"), QStringLiteral("kv_alder_var.bin"),
        QStringLiteral("kv_birch_max.bin"), QStringLiteral("kv_birch_var.bin"),
        QStringLiteral("kv_cedar_max.bin"), QStringLiteral("kv_cedar_var.bin")};
    const QList<quint16> expectedFlags{0x01, 0x09, 0x02, 0x0A, 0x00, 0x08};
    int i = 0;
    for (const F family : kv2::TARGET_FAMILIES) {
        for (const C clocking : kv2::JTAG_CLOCKINGS) {
            EXPECT_EQ(kv2::imageFileName(family, clocking), expectedFiles[i]);
            const quint16 flags = kv2::flagsOf(family, clocking);
            EXPECT_EQ(flags, expectedFlags[i]);
            EXPECT_EQ(kv2::familyOf(flags), family);
            EXPECT_EQ(kv2::clockingOf(flags), clocking);
            EXPECT_EQ(kv2::variantText(flags),
                      kv2::familyName(family) + QStringLiteral(", ") + kv2::clockingName(clocking));
            ++i;
        }
    }
    // The radio-button ids are the enumerator values.
    EXPECT_EQ(int(F::Alder), 1);
    EXPECT_EQ(int(F::Cedar), 3);
    EXPECT_EQ(int(C::VariableSpeedAndAdaptive), 2);
}

}  // namespace
