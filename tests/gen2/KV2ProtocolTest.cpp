#include "ImageBytes.h"
#include "app/HException.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"
#include "gen2/ProbeInfo.h"

#include <gtest/gtest.h>

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
