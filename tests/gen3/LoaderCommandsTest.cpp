#include "ScriptedLink.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "gen3/Crc32.h"
#include "gen3/LoaderCommands.h"
#include "gen3/LoaderFrames.h"
#include "support/ThrownMessage.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <functional>

namespace {

const QByteArray& payload() {
    static const QByteArray bytes = QByteArray::fromHex("00112233445566778899");
    return bytes;
}
const quint8* payloadData() {
    return reinterpret_cast<const quint8*>(payload().constData());
}

// The reply a loader gives to get loader info: tag, then 76 record bytes.
QByteArray loaderInfoReply(char tag = '\xF7') {
    QByteArray reply(LOADER_INFO_REPLY_SIZE, '\0');
    reply[0] = tag;
    return reply;
}

QByteArray crcReply(const char* firstTwoHex, quint32 crc) {
    QByteArray reply = QByteArray::fromHex(firstTwoHex);
    for (int i = 0; i < 4; ++i) {
        reply += char(crc >> (8 * i));
    }
    return reply;
}

// Every frame the host sends, byte for byte.
struct FrameCase {
    const char* name;
    std::function<void(HDataLink&)> operation;
    QByteArray reply;
    QList<QByteArray> writes;
    friend void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }
};

class Frames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frames, AreByteExact) {
    ScriptedLink link;
    link.queueReply(GetParam().reply);
    GetParam().operation(link);
    EXPECT_EQ(link.writes(), GetParam().writes);
    EXPECT_EQ(link.pendingReplies(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Frames,
    ::testing::Values(FrameCase{"connect",
                                connectLoader,
                                QByteArray::fromHex("FE01"),
                                {QByteArray::fromHex("015AC3179E")}},
                      FrameCase{"disconnect",
                                disconnectLoader,
                                QByteArray::fromHex("FD01"),
                                {QByteArray::fromHex("025AC3179E")}},
                      FrameCase{"erase",
                                [](HDataLink& l) { eraseMemory(l, 0x2000, 0x12345678); },
                                QByteArray::fromHex("FA01"),
                                {QByteArray::fromHex("055AC3179E"
                                                     "00200000"
                                                     "78563412")}},
                      FrameCase{"write",
                                [](HDataLink& l) { writeMemory(l, 0xA1B2C3D4, 10, payloadData()); },
                                QByteArray::fromHex("FC01"),
                                {QByteArray::fromHex("035AC3179E"
                                                     "D4C3B2A1"
                                                     "0A000000"),
                                 payload()}},
                      FrameCase{"crc",
                                [](HDataLink& l) { checkMemoryCrc(l, 0x4000, 10, payloadData()); },
                                crcReply("0000", 0),
                                {QByteArray::fromHex("075AC3179E"
                                                     "00400000"
                                                     "0A000000")}},
                      FrameCase{"getLoaderInfo",
                                [](HDataLink& l) { getLoaderInfo(l); },
                                loaderInfoReply(),
                                {QByteArray::fromHex("085AC3179E")}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Frames, DecodeAsTheLoaderReadsThem) {
    const RangedFrame ranged = rangedFrame(TAG_MEMORY_CRC, 0xFFFFE000, 8192);
    const auto decoded = decodeCommandFrame(
        QByteArrayView(reinterpret_cast<const char*>(ranged.data()), ranged.size()));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, (CommandFrame{TAG_MEMORY_CRC, true, 0xFFFFE000, 8192}));

    const QByteArray badMagic = QByteArray::fromHex("025AC3179F");
    ASSERT_TRUE(decodeCommandFrame(badMagic).has_value());
    EXPECT_FALSE(decodeCommandFrame(badMagic)->magicOk);
    // A ranged tag needs 13 bytes; nothing at all is no frame.
    EXPECT_FALSE(decodeCommandFrame(QByteArray::fromHex("035AC3179E00000000")).has_value());
    EXPECT_FALSE(decodeCommandFrame(QByteArray()).has_value());
}

// Every failure message of the commands, through the link's results.
struct FailureCase {
    const char* name;
    std::function<void(HDataLink&)> operation;
    QList<QByteArray> replies;  // queued in order; a null entry is a failed read (-1)
    int failingWrite = -1;      // index of a write that returns writeResult
    int writeResult = 0;
    int failingPurge = -1;  // index of a purge that throws "cannot purge RX"
    const char* message;
    int writesBeforeFailure;  // writes the host made before it gave up
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class CommandFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CommandFailures, ThrowTheirMessage) {
    const FailureCase& c = GetParam();
    VirtualClock clock;  // a busy connect pauses before it tries again
    ScopedClock useClock(clock);
    ScriptedLink link;
    for (const QByteArray& reply : c.replies) {
        if (reply.isNull()) {
            link.queueReadFailure();
        } else {
            link.queueReply(reply);
        }
    }
    if (c.failingWrite >= 0) {
        link.failWrite(c.failingWrite, c.writeResult);
    }
    if (c.failingPurge >= 0) {
        link.failPurge(c.failingPurge, "cannot purge RX");
    }
    EXPECT_EQ(thrownMessage([&] { c.operation(link); }), c.message);
    EXPECT_EQ(link.writes().size(), c.writesBeforeFailure);
}

const auto opConnect = [](HDataLink& l) { connectLoader(l); };
const auto opDisconnect = [](HDataLink& l) { disconnectLoader(l); };
const auto opErase = [](HDataLink& l) { eraseMemory(l, 0x2000, 8192); };
const auto opWrite = [](HDataLink& l) { writeMemory(l, 0x2000, 10, payloadData()); };
const auto opCrc = [](HDataLink& l) { checkMemoryCrc(l, 0x2000, 10, payloadData()); };
const auto opInfo = [](HDataLink& l) { getLoaderInfo(l); };
const QByteArray FAILED_READ;  // null: the read returns -1

INSTANTIATE_TEST_SUITE_P(
    Connect, CommandFailures,
    ::testing::Values(
        FailureCase{"wrongTag",
                    opConnect,
                    {QByteArray::fromHex("FD01")},
                    -1,
                    0,
                    -1,
                    "connect failed, unexpected tag returned",
                    1},
        FailureCase{"wrongTagStatusZero",
                    opConnect,
                    {QByteArray::fromHex("0000")},
                    -1,
                    0,
                    -1,
                    "connect failed, unexpected tag returned",
                    1},
        FailureCase{
            "statusZero", opConnect, {QByteArray::fromHex("FE00")}, -1, 0, -1, "connect failed", 1},
        FailureCase{
            "shortReply", opConnect, {QByteArray::fromHex("FE")}, -1, 0, -1, "read timed out", 1},
        FailureCase{"noReply", opConnect, {}, -1, 0, -1, "read timed out", 1},
        FailureCase{"failedRead", opConnect, {FAILED_READ}, -1, 0, -1, "read timed out", 1},
        FailureCase{"shortWrite", opConnect, {}, 0, 4, -1, "write timed out", 1},
        FailureCase{"failedWrite", opConnect, {}, 0, -1, -1, "write timed out", 1},
        FailureCase{"purgeFails", opConnect, {}, -1, 0, 0, "cannot purge RX", 0},
        // Busy, and the purge before the retry fails: the retry is not sent.
        FailureCase{"purgeFailsOnTheRetry",
                    opConnect,
                    {QByteArray::fromHex("FEFF")},
                    -1,
                    0,
                    1,
                    "cannot purge RX",
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Disconnect, CommandFailures,
    ::testing::Values(FailureCase{"wrongTag",
                                  opDisconnect,
                                  {QByteArray::fromHex("FE01")},
                                  -1,
                                  0,
                                  -1,
                                  "disconnect failed, unexpected tag returned",
                                  1},
                      FailureCase{"wrongTagStatusZero",
                                  opDisconnect,
                                  {QByteArray::fromHex("FC00")},
                                  -1,
                                  0,
                                  -1,
                                  "disconnect failed, unexpected tag returned",
                                  1},
                      FailureCase{"statusZero",
                                  opDisconnect,
                                  {QByteArray::fromHex("FD00")},
                                  -1,
                                  0,
                                  -1,
                                  "disconnect failed",
                                  1},
                      FailureCase{"shortReply",
                                  opDisconnect,
                                  {QByteArray::fromHex("FD")},
                                  -1,
                                  0,
                                  -1,
                                  "read timed out",
                                  1},
                      FailureCase{"failedWrite", opDisconnect, {}, 0, -1, -1, "write timed out", 1},
                      FailureCase{"purgeFails",
                                  opDisconnect,
                                  {QByteArray::fromHex("FD01")},
                                  -1,
                                  0,
                                  0,
                                  "cannot purge RX",
                                  1}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Erase, CommandFailures,
    ::testing::Values(
        FailureCase{"wrongTag",
                    opErase,
                    {QByteArray::fromHex("FC01")},
                    -1,
                    0,
                    -1,
                    "memory erase failed, unexpected tag returned",
                    1},
        FailureCase{"wrongTagStatusZero",
                    opErase,
                    {QByteArray::fromHex("FC00")},
                    -1,
                    0,
                    -1,
                    "memory erase failed, unexpected tag returned",
                    1},
        FailureCase{"statusZero",
                    opErase,
                    {QByteArray::fromHex("FA00")},
                    -1,
                    0,
                    -1,
                    "memory erase failed",
                    1},
        FailureCase{
            "shortReply", opErase, {QByteArray::fromHex("FA")}, -1, 0, -1, "read timed out", 1},
        FailureCase{"failedRead", opErase, {FAILED_READ}, -1, 0, -1, "read timed out", 1},
        FailureCase{"shortWrite", opErase, {}, 0, 12, -1, "write timed out", 1}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Write, CommandFailures,
    ::testing::Values(
        FailureCase{"wrongTag",
                    opWrite,
                    {QByteArray::fromHex("FA01")},
                    -1,
                    0,
                    -1,
                    "memory write failed, unexpected tag returned",
                    2},
        FailureCase{"wrongTagStatusZero",
                    opWrite,
                    {QByteArray::fromHex("FA00")},
                    -1,
                    0,
                    -1,
                    "memory write failed, unexpected tag returned",
                    2},
        FailureCase{"statusZero",
                    opWrite,
                    {QByteArray::fromHex("FC00")},
                    -1,
                    0,
                    -1,
                    "memory write failed",
                    2},
        FailureCase{
            "shortReply", opWrite, {QByteArray::fromHex("FC")}, -1, 0, -1, "read timed out", 2},
        // A frame that did not go out is not followed by its data.
        FailureCase{"frameWriteFails", opWrite, {}, 0, -1, -1, "write timed out", 1},
        FailureCase{"dataWriteShort", opWrite, {}, 1, 9, -1, "write timed out", 2}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Crc, CommandFailures,
    ::testing::Values(FailureCase{"fiveByteReply",
                                  opCrc,
                                  {QByteArray::fromHex("F8000000000000").left(5)},
                                  -1,
                                  0,
                                  -1,
                                  "read timed out",
                                  1},
                      FailureCase{
                          "failedRead", opCrc, {FAILED_READ}, -1, 0, -1, "read timed out", 1},
                      FailureCase{"failedWrite", opCrc, {}, 0, -1, -1, "write timed out", 1}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    GetLoaderInfo, CommandFailures,
    ::testing::Values(
        FailureCase{"wrongTag",
                    opInfo,
                    {loaderInfoReply('\xF8')},
                    -1,
                    0,
                    -1,
                    "get loader info failed, unexpected tag returned",
                    1},
        FailureCase{
            "shortReply", opInfo, {loaderInfoReply().left(76)}, -1, 0, -1, "read timed out", 1},
        FailureCase{"failedWrite", opInfo, {}, 0, 3, -1, "write timed out", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Connect retries while the loader is busy, with a pause of 1000 ms on the project clock
// before each retry.
struct BusyCase {
    const char* name;
    QList<QByteArray> replies;
    const char* message;  // nullptr: connected
    int frames;
    int sleeps;
    friend void PrintTo(const BusyCase& c, std::ostream* os) { *os << c.name; }
};

class ConnectBusy : public ::testing::TestWithParam<BusyCase> {};

TEST_P(ConnectBusy, RetriesAfterAPauseAndGivesUpOnTheTenthBusyReply) {
    VirtualClock clock;
    ScopedClock useClock(clock);
    ScriptedLink link;
    for (const QByteArray& reply : GetParam().replies) {
        link.queueReply(reply);
    }
    if (GetParam().message == nullptr) {
        EXPECT_NO_THROW(connectLoader(link));
    } else {
        EXPECT_EQ(thrownMessage([&] { connectLoader(link); }), GetParam().message);
    }
    EXPECT_EQ(clock.sleepCount(), GetParam().sleeps);
    EXPECT_EQ(clock.totalSleptMs(), quint64(GetParam().sleeps) * 1000);
    // Each attempt purges, then sends the same frame, then reads two bytes; attempt k
    // starts k seconds in.
    QStringList expectedTrace;
    for (int k = 0; k < GetParam().frames; ++k) {
        expectedTrace << "purge"
                      << "write 5"
                      << "read 2";
    }
    EXPECT_EQ(link.trace(), expectedTrace);
    for (const QByteArray& frame : link.writes()) {
        EXPECT_EQ(frame, QByteArray::fromHex("015AC3179E"));
    }
    int attempt = 0;
    for (const ScriptedLink::Event& event : link.events()) {
        if (event.kind == ScriptedLink::Event::Purge) {
            EXPECT_EQ(event.tickMs, quint32(attempt++) * 1000);
        }
    }
}

QList<QByteArray> busy(int times, const char* lastHex = nullptr) {
    QList<QByteArray> replies(times, QByteArray::fromHex("FEFF"));
    if (lastHex != nullptr) {
        replies << QByteArray::fromHex(lastHex);
    }
    return replies;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectBusy,
    ::testing::Values(BusyCase{"readyAtOnce", busy(0, "FE01"), nullptr, 1, 0},
                      BusyCase{"busyNineTimesThenReady", busy(9, "FE01"), nullptr, 10, 9},
                      // Any status but 0 and busy means connected.
                      BusyCase{"busyThenStatus7F", busy(1, "FE7F"), nullptr, 2, 1},
                      BusyCase{"busyTenTimes", busy(10), "connect failed", 10, 9},
                      BusyCase{"busyThenStatusZero", busy(1, "FE00"), "connect failed", 2, 1},
                      BusyCase{"busyThenWrongTag", busy(2, "01FF"),
                               "connect failed, unexpected tag returned", 3, 2},
                      BusyCase{"busyThenSilent", busy(3), "read timed out", 4, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConnectBusy, TenthBusyReplyEndsWithoutAnEleventhFrame) {
    VirtualClock clock;
    ScopedClock useClock(clock);
    ScriptedLink link;
    for (const QByteArray& reply : busy(11)) {
        link.queueReply(reply);
    }
    EXPECT_THROW(connectLoader(link), HException);
    EXPECT_EQ(link.writes().size(), 10);
    EXPECT_EQ(link.pendingReplies(), 1);
}

TEST(Disconnect, PurgesBeforeItExaminesTheReply) {
    for (const char* reply : {"FD01", "FD00", "0201"}) {
        ScriptedLink link;
        link.queueReplyHex(reply);
        try {
            disconnectLoader(link);
        } catch (const HException&) {
        }
        EXPECT_EQ(link.trace(), QStringList({"write 5", "read 2", "purge"})) << reply;
    }
}

TEST(Disconnect, ShortReplyFailsBeforeThePurge) {
    ScriptedLink link;
    link.queueReplyHex("FD");
    EXPECT_THROW(disconnectLoader(link), HException);
    EXPECT_EQ(link.trace(), QStringList({"write 5", "read 2"}));
}

TEST(EraseAndWrite, NeitherPurgesNorSendsMoreThanFrameAndData) {
    ScriptedLink link;
    link.queueReplyHex("FA01");
    link.queueReplyHex("FC01");
    eraseMemory(link, 0x2000, 10);
    writeMemory(link, 0x2000, 10, payloadData());
    EXPECT_EQ(link.trace(), QStringList({"write 13", "read 2", "write 13", "write 10", "read 2"}));
}

struct CrcReplyCase {
    const char* firstTwo;
    friend void PrintTo(const CrcReplyCase& c, std::ostream* os) { *os << c.firstTwo; }
};

class CrcReply : public ::testing::TestWithParam<CrcReplyCase> {};

TEST_P(CrcReply, ComparesOnlyBytesTwoToFive) {
    const quint32 hostCrc = computeCrc32(payload().constData(), std::size_t(payload().size()));
    ScriptedLink link;
    link.queueReply(crcReply(GetParam().firstTwo, hostCrc));
    link.queueReply(crcReply(GetParam().firstTwo, hostCrc ^ 0x80000000));
    link.queueReply(crcReply(GetParam().firstTwo, hostCrc ^ 0x00000001));
    EXPECT_TRUE(checkMemoryCrc(link, 0x2000, 10, payloadData()));
    EXPECT_FALSE(checkMemoryCrc(link, 0x2000, 10, payloadData()));
    EXPECT_FALSE(checkMemoryCrc(link, 0x2000, 10, payloadData()));
    EXPECT_EQ(link.trace(),
              QStringList({"write 13", "read 6", "write 13", "read 6", "write 13", "read 6"}));
}

INSTANTIATE_TEST_SUITE_P(FirstTwoBytes, CrcReply,
                         ::testing::Values(CrcReplyCase{"0000"}, CrcReplyCase{"F801"},
                                           CrcReplyCase{"FFFF"}, CrcReplyCase{"0700"}));

TEST(GetLoaderInfo, DecodesTheRecordBehindTheTagWithoutConnectOrPurge) {
    QByteArray reply = loaderInfoReply();
    reply[1] = 0x02;                                        // loader major 2
    reply[9] = 0x01;                                        // image state 1
    reply.replace(13, 4, QByteArray::fromHex("0DF0FECA"));  // magic
    reply[33] = 0x05;                                       // major 5
    reply[35] = 0x03;                                       // minor 3
    reply.replace(37, 40, QByteArray(40, 'Z'));             // 40-character description
    ScriptedLink link;
    link.queueReply(reply);
    const LoaderInfo info = getLoaderInfo(link);
    EXPECT_EQ(info.loaderVersionMajor, 2);
    EXPECT_EQ(info.imageState, 1u);
    EXPECT_TRUE(info.hasInstalledImage());
    EXPECT_EQ(imageVersionText(info.imageHeader), "5.3 - " + QString(40, u'Z'));
    EXPECT_EQ(link.trace(), QStringList({"write 5", "read 77"}));
}

}  // namespace
