#include "device/Ftd2xxDataLink.h"

#include "EmulatedLinkFixture.h"

#include <ostream>

namespace {

class Ftd2xxLink : public EmulatedLinkFixture {
protected:
    void SetUp() override { attachGeneration3(); }

    // Reads `length` bytes and returns them with the link's result.
    std::pair<int, QByteArray> readBytes(Ftd2xxDataLink& link, int length) {
        QByteArray buffer(length, '\0');
        const int count = link.read(buffer.data(), length);
        return {count, buffer.left(std::max(count, 0))};
    }
};

TEST_F(Ftd2xxLink, OpeningResetsThePipeSetsTheLatencyTimerAndPurgesRxThenTx) {
    {
        Ftd2xxDataLink link(record());
        EXPECT_EQ(link.timeout(), 1000u);
        EXPECT_EQ(device->openConnections(), 1);
        const QList<UsbFrame> frames = device->frameLog().frames();
        ASSERT_EQ(frames.size(), 5);
        EXPECT_TRUE(frames[0].setup.isClearHalt());
        EXPECT_EQ(frames[0].setup.index, UsbFunction::BULK_IN_ENDPOINT);
        EXPECT_TRUE(frames[1].setup.isClearHalt());
        EXPECT_EQ(frames[1].setup.index, UsbFunction::BULK_OUT_ENDPOINT);
        const struct {
            quint8 request;
            quint16 value;
        } vendor[] = {{9, 1}, {0, 1}, {0, 2}};
        for (int i = 0; i < 3; ++i) {
            const ControlRequest& setup = frames[2 + i].setup;
            EXPECT_EQ(setup.requestType, 0x40);
            EXPECT_EQ(setup.request, vendor[i].request) << i;
            EXPECT_EQ(setup.value, vendor[i].value) << i;
            EXPECT_EQ(setup.index, 1) << i;
            EXPECT_TRUE(setup.data.isEmpty());
            EXPECT_EQ(frames[2 + i].outcome, TransferResult::Completed);
        }
        EXPECT_EQ(chip->latencyMs(), 1);
    }
    EXPECT_EQ(device->openConnections(), 0);
}

TEST_F(Ftd2xxLink, DeletingThroughTheInterfaceClosesTheDevice) {
    std::unique_ptr<HIOInterface> link = std::make_unique<Ftd2xxDataLink>(record());
    EXPECT_EQ(device->openConnections(), 1);
    link.reset();
    EXPECT_EQ(device->openConnections(), 0);
}

TEST_F(Ftd2xxLink, LengthZeroReturnsZeroWithoutATransfer) {
    Ftd2xxDataLink link(record());
    chip->sendToHost("data");
    device->frameLog().clear();
    char buffer[1];
    EXPECT_EQ(link.read(buffer, 0), 0);
    EXPECT_EQ(link.read(nullptr, 0), 0);
    EXPECT_EQ(device->frameLog().size(), 0);
    EXPECT_EQ(chip->readyBytes(clock.tickMs()), 4);
}

TEST_F(Ftd2xxLink, ThreeThenSevenIsServedFromTheKeptSurplus) {
    Ftd2xxDataLink link(record());
    chip->sendToHost("0123456789");
    EXPECT_EQ(readBytes(link, 3), std::make_pair(3, QByteArray("012")));
    ASSERT_EQ(bulkIn().size(), 1);
    EXPECT_EQ(bulkIn()[0].bytes.size(), 12);  // 2 status bytes + 10 data bytes
    EXPECT_EQ(readBytes(link, 7), std::make_pair(7, QByteArray("3456789")));
    EXPECT_EQ(bulkIn().size(), 1);
}

TEST_F(Ftd2xxLink, ReadGathersDataAcrossPacketsAndStripsTheStatusBytes) {
    Ftd2xxDataLink link(record());
    QByteArray reply;
    for (int i = 0; i < 130; ++i) {
        reply += char('A' + i % 26);
    }
    chip->sendToHost(reply);
    EXPECT_EQ(readBytes(link, 125), std::make_pair(125, reply.left(125)));
    ASSERT_EQ(bulkIn().size(), 3);  // 62 + 62 + 6 data bytes
    EXPECT_EQ(bulkIn()[2].bytes.size(), 8);
    EXPECT_EQ(readBytes(link, 5), std::make_pair(5, reply.mid(125)));
    EXPECT_EQ(bulkIn().size(), 3);
}

struct RuntCase {
    int packetBytes;
    int expected;
    friend void PrintTo(const RuntCase& c, std::ostream* os) {
        *os << c.packetBytes << "-byte packet";
    }
};

class Ftd2xxRunt : public Ftd2xxLink, public ::testing::WithParamInterface<RuntCase> {};

// A packet of only the two status bytes is empty and the read goes on; one shorter than
// that is a failed read.
TEST_P(Ftd2xxRunt, ShortPacketsAreEmptyOrFailures) {
    Ftd2xxDataLink link(record());
    chip->sendToHost("hello");
    device->faults().inject(UsbFrame::Direction::In,
                            TransferFault::truncate(GetParam().packetBytes));
    char buffer[5];
    EXPECT_EQ(link.read(buffer, 5), GetParam().expected);
    EXPECT_EQ(bulkIn().size(), GetParam().expected < 0 ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(Packets, Ftd2xxRunt,
                         ::testing::Values(RuntCase{0, -1}, RuntCase{1, -1}, RuntCase{2, 5}));

struct TimingCase {
    const char* name;
    int timeoutMs;
    quint32 clockStart;
    const char* readyAtOnce;  // data the probe has when the read starts
    quint32 lateReplyMs;      // when the rest arrives, measured from the start; 0: never
    int expected;
    quint32 elapsedMs;
    friend void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }
};

class Ftd2xxTiming : public Ftd2xxLink, public ::testing::WithParamInterface<TimingCase> {};

// With the latency timer at 1 ms an idle probe sends one status-only packet per
// millisecond; the read gives up once strictly more than the time-out has passed since
// its first transfer.
TEST_P(Ftd2xxTiming, StatusOnlyPacketsEndTheReadOnlyAfterStrictlyMoreThanTheTimeout) {
    const TimingCase& c = GetParam();
    clock.advance(c.clockStart - clock.tickMs());
    Ftd2xxDataLink link(record());
    link.setTimeout(c.timeoutMs);
    const QByteArray ready(c.readyAtOnce);
    chip->sendToHost(ready);
    if (c.lateReplyMs > 0) {
        chip->sendToHost(QByteArray(5 - ready.size(), 'x'), c.lateReplyMs);
    }
    device->frameLog().clear();
    const quint32 start = clock.tickMs();
    char buffer[5];
    EXPECT_EQ(link.read(buffer, 5), c.expected);
    EXPECT_EQ(static_cast<quint32>(clock.tickMs() - start), c.elapsedMs);
    // One transfer per millisecond, plus the first one when data was there at once.
    EXPECT_EQ(bulkIn().size(), qsizetype(c.elapsedMs) + (ready.isEmpty() ? 0 : 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ftd2xxTiming,
    ::testing::Values(TimingCase{"NothingArrives", 1000, 1000, "", 0, 0, 1001},
                      TimingCase{"PartOfTheReplyThenNothing", 1000, 1000, "abc", 0, 3, 1001},
                      TimingCase{"ReplyInTheLastPacket", 1000, 1000, "", 1001, 5, 1001},
                      TimingCase{"ReplyOneMillisecondTooLate", 1000, 1000, "", 1002, 0, 1001},
                      TimingCase{"ShorterTimeout", 50, 1000, "", 0, 0, 51},
                      TimingCase{"TickCountWrapsDuringTheRead", 1000, 0xFFFFFF00u, "", 0, 0, 1001}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Ftd2xxLink, BytesFromTheSurplusCountAndTheTimeStartsAtTheFirstTransfer) {
    Ftd2xxDataLink link(record());
    chip->sendToHost("0123456789");
    char buffer[12];
    ASSERT_EQ(link.read(buffer, 3), 3);
    const quint32 start = clock.tickMs();
    EXPECT_EQ(link.read(buffer, 12), 7);
    EXPECT_EQ(QByteArray(buffer, 7), QByteArray("3456789"));
    EXPECT_EQ(clock.tickMs() - start, 1001u);
}

TEST_F(Ftd2xxLink, PurgeSendsRxBeforeTxAndKeepsWhatTheLinkHolds) {
    Ftd2xxDataLink link(record());
    chip->sendToHost("0123456789");
    char buffer[7];
    ASSERT_EQ(link.read(buffer, 3), 3);
    chip->sendToHost("dropped");
    device->frameLog().clear();
    EXPECT_TRUE(link.purge());
    const QList<UsbFrame> frames = controls();
    ASSERT_EQ(frames.size(), 2);
    EXPECT_EQ(frames[0].setup.value, 1);
    EXPECT_EQ(frames[1].setup.value, 2);
    EXPECT_EQ(chip->readyBytes(clock.tickMs()), 0);
    EXPECT_EQ(readBytes(link, 7), std::make_pair(7, QByteArray("3456789")));
    link.setTimeout(10);
    EXPECT_EQ(readBytes(link, 1).first, 0);
}

TEST_F(Ftd2xxLink, PurgeFailuresThrowAndAFailedRxPurgeSendsNoTxPurge) {
    Ftd2xxDataLink link(record());
    device->frameLog().clear();
    device->faults().failVendorRequest(0, 1, 1);
    EXPECT_EQ(thrownMessage([&] { link.purge(); }), "cannot purge RX");
    EXPECT_EQ(controls().size(), 1);
    device->faults().failVendorRequest(0, 2, 1);
    EXPECT_EQ(thrownMessage([&] { link.purge(); }), "cannot purge TX");
    EXPECT_EQ(controls().size(), 3);
    EXPECT_TRUE(link.purge());
}

TEST_F(Ftd2xxLink, WriteSendsTheBytesUnframedAndReturnsTheCount) {
    Ftd2xxDataLink link(record());
    EXPECT_EQ(link.write("\x01\x5A\xC3\x17\x9E", 5), 5);
    EXPECT_EQ(stream->receivedBytes(), QByteArray("\x01\x5A\xC3\x17\x9E"));
    device->faults().inject(UsbFrame::Direction::Out, TransferFault::truncate(3));
    EXPECT_EQ(link.write("abcdef", 6), 3);
    EXPECT_EQ(stream->receivedBytes().right(3), QByteArray("abc"));
}

struct TransferFailureCase {
    const char* name;
    UsbFrame::Direction direction;
    TransferFault fault;
    quint32 elapsedMs;
    friend void PrintTo(const TransferFailureCase& c, std::ostream* os) { *os << c.name; }
};

class Ftd2xxTransferFailure : public Ftd2xxLink,
                              public ::testing::WithParamInterface<TransferFailureCase> {};

// Every failed transfer is -1, and no wait lasts longer than the time-out.
TEST_P(Ftd2xxTransferFailure, ReturnsMinusOneAfterAtMostOneTimeout) {
    const TransferFailureCase& c = GetParam();
    Ftd2xxDataLink link(record());
    chip->sendToHost("ready");
    device->faults().inject(c.direction, c.fault);
    const quint32 start = clock.tickMs();
    char buffer[5] = {};
    const int result =
        c.direction == UsbFrame::Direction::In ? link.read(buffer, 5) : link.write("abcde", 5);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(clock.tickMs() - start, c.elapsedMs);
    // The link stays usable.
    EXPECT_EQ(link.write("x", 1), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ftd2xxTransferFailure,
    ::testing::Values(
        TransferFailureCase{"ReadNotStarted", UsbFrame::Direction::In, TransferFault::notStarted(),
                            0},
        TransferFailureCase{"ReadFails", UsbFrame::Direction::In, TransferFault::fail(), 0},
        TransferFailureCase{"ReadNeverCompletes", UsbFrame::Direction::In, TransferFault::never(),
                            1000},
        TransferFailureCase{"WriteNotStarted", UsbFrame::Direction::Out,
                            TransferFault::notStarted(), 0},
        TransferFailureCase{"WriteFails", UsbFrame::Direction::Out, TransferFault::fail(), 0},
        TransferFailureCase{"WriteNeverCompletes", UsbFrame::Direction::Out, TransferFault::never(),
                            1000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Ftd2xxLink, AProbeUnpluggedMidWriteFailsEveryLaterTransfer) {
    Ftd2xxDataLink link(record());
    device->faults().unplugAfter(UsbFrame::Direction::Out, 4);
    EXPECT_EQ(link.write("abcdefgh", 8), -1);
    EXPECT_EQ(stream->receivedBytes(), QByteArray("abcd"));
    EXPECT_FALSE(device->present());
    EXPECT_TRUE(bus->enumerate().isEmpty());
    char buffer[1];
    EXPECT_EQ(link.read(buffer, 1), -1);
    EXPECT_EQ(link.write("x", 1), -1);
    EXPECT_EQ(thrownMessage([&] { link.purge(); }), "cannot purge RX");
}

}  // namespace
