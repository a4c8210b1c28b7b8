#include "device/PipeDataLink.h"

#include "EmulatedLinkFixture.h"

#include <functional>
#include <memory>
#include <ostream>

namespace {

class PipeLink : public EmulatedLinkFixture {
protected:
    void SetUp() override { attachGeneration2(); }

    static QByteArray packet(char code) {
        QByteArray bytes(64, '\0');
        bytes[0] = code;
        return bytes;
    }
    static QByteArray numbered(int size) {
        QByteArray bytes;
        for (int i = 0; i < size; ++i) {
            bytes += char(i);
        }
        return bytes;
    }
};

TEST_F(PipeLink, OpensWithoutSetUpAndATenSecondTimeout) {
    {
        PipeDataLink link(record());
        EXPECT_EQ(link.timeout(), 10000u);
        EXPECT_EQ(device->frameLog().size(), 0);
        EXPECT_TRUE(link.purge());
        EXPECT_EQ(device->frameLog().size(), 0);
        EXPECT_EQ(device->openConnections(), 1);
    }
    EXPECT_EQ(device->openConnections(), 0);
}

TEST_F(PipeLink, LengthZeroReturnsZeroWithoutATransfer) {
    PipeDataLink link(record());
    pipe->sendToHost(numbered(64));
    char buffer[1];
    EXPECT_EQ(link.read(buffer, 0), 0);
    EXPECT_EQ(device->frameLog().size(), 0);
    EXPECT_EQ(pipe->queuedReplies(), 1);
}

TEST_F(PipeLink, AReplyDeliveredAsFortyAndTwentyFourBytesIsReadAsSixtyFour) {
    PipeDataLink link(record());
    pipe->setReplyPieces({40, 24});
    packets->answerNextPacket(numbered(64));
    EXPECT_EQ(link.write(packet(char(0x84)).constData(), 64), 64);
    QByteArray reply(64, '\0');
    EXPECT_EQ(link.read(reply.data(), 64), 64);
    EXPECT_EQ(reply, numbered(64));
    const QList<UsbFrame> in = bulkIn();
    ASSERT_EQ(in.size(), 2);
    EXPECT_EQ(in[0].bytes.size(), 40);
    EXPECT_EQ(in[1].bytes.size(), 24);
    ASSERT_EQ(packets->packets().size(), 1);
    EXPECT_EQ(packets->packets()[0], packet(char(0x84)));
}

TEST_F(PipeLink, AReadTakesOnlyWhatItAsksForAndWaitsForADelayedReply) {
    PipeDataLink link(record());
    pipe->sendToHost(numbered(64), 250);
    const quint32 start = clock.tickMs();
    QByteArray head(10, '\0');
    EXPECT_EQ(link.read(head.data(), 10), 10);
    EXPECT_EQ(clock.tickMs() - start, 250u);
    QByteArray tail(54, '\0');
    EXPECT_EQ(link.read(tail.data(), 54), 54);
    EXPECT_EQ(head + tail, numbered(64));
}

TEST_F(PipeLink, AShortWriteReturnsItsCount) {
    PipeDataLink link(record());
    device->faults().inject(UsbFrame::Direction::Out, TransferFault::truncate(20));
    EXPECT_EQ(link.write(packet(char(0x81)).constData(), 64), 20);
}

struct PipeFailureCase {
    const char* name;
    std::function<void(PipeLink&)> arm;
    bool reading;
    const char* message;
    quint32 elapsedMs;
    friend void PrintTo(const PipeFailureCase& c, std::ostream* os) { *os << c.name; }
};

class PipeFailure : public PipeLink, public ::testing::WithParamInterface<PipeFailureCase> {
public:
    static void replyReady(PipeLink& f) { f.pipe->sendToHost(numbered(64)); }
    static void in(PipeLink& f, TransferFault fault) {
        replyReady(f);
        f.device->faults().inject(UsbFrame::Direction::In, fault);
    }
    static void out(PipeLink& f, TransferFault fault) {
        f.device->faults().inject(UsbFrame::Direction::Out, fault);
    }
};

// Every transfer failure throws its own message after at most one time-out.
TEST_P(PipeFailure, ThrowsTheMessageOfTheFailure) {
    const PipeFailureCase& c = GetParam();
    PipeDataLink link(record());
    c.arm(*this);
    const quint32 start = clock.tickMs();
    QByteArray buffer(64, '\0');
    EXPECT_EQ(thrownMessage([&] {
                  if (c.reading) {
                      link.read(buffer.data(), 64);
                  } else {
                      link.write(buffer.constData(), 64);
                  }
              }),
              c.message);
    EXPECT_EQ(clock.tickMs() - start, c.elapsedMs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PipeFailure,
    ::testing::Values(
        PipeFailureCase{"ReadNotStarted",
                        [](PipeLink& f) { PipeFailure::in(f, TransferFault::notStarted()); }, true,
                        "read operation failed (I/O pending)", 0},
        PipeFailureCase{"ReadNeverCompletes",
                        [](PipeLink& f) { PipeFailure::in(f, TransferFault::never()); }, true,
                        "read operation timed out", 10000},
        PipeFailureCase{"NoReply", [](PipeLink&) {}, true, "read operation timed out", 10000},
        PipeFailureCase{"ReadEndsInAnError",
                        [](PipeLink& f) { PipeFailure::in(f, TransferFault::fail()); }, true,
                        "read operation failed (GetOverlappedResult)", 0},
        PipeFailureCase{"ReadAfterUnplug",
                        [](PipeLink& f) {
                            PipeFailure::replyReady(f);
                            f.device->unplug();
                        },
                        true, "read operation failed (I/O pending)", 0},
        PipeFailureCase{"UnpluggedDuringTheRead",
                        [](PipeLink& f) {
                            PipeFailure::replyReady(f);
                            f.device->faults().unplugAfter(UsbFrame::Direction::In, 30);
                        },
                        true, "read operation failed (GetOverlappedResult)", 0},
        PipeFailureCase{"WriteNotStarted",
                        [](PipeLink& f) { PipeFailure::out(f, TransferFault::notStarted()); },
                        false, "write operation failed", 0},
        PipeFailureCase{"WriteEndsInAnError",
                        [](PipeLink& f) { PipeFailure::out(f, TransferFault::fail()); }, false,
                        "write operation failed", 0},
        PipeFailureCase{"WriteNeverCompletes",
                        [](PipeLink& f) { PipeFailure::out(f, TransferFault::never()); }, false,
                        "write operation timed out", 10000}),
    [](const auto& info) { return std::string(info.param.name); });

// A device that answers every request with an empty transfer, one per millisecond.
class EmptyTransfers : public UsbFunction {
public:
    void bulkOut(const QByteArray&, quint32) override {}
    quint32 bulkInDelay(quint32) override { return 1; }
    int bulkIn(quint8*, int, quint32) override { return 0; }
    bool controlOut(const ControlRequest&, quint32) override { return false; }
};

TEST_F(PipeLink, EmptyTransfersDoNotHoldTheReadBeyondTheTimeout) {
    auto chatty = std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, PRODUCT_ID_GENERATION2,
                                                   QStringLiteral("K2000009"),
                                                   std::make_unique<EmptyTransfers>());
    bus->detachAll();
    bus->attach(chatty);
    PipeDataLink link(record());
    const quint32 start = clock.tickMs();
    char buffer[64];
    EXPECT_EQ(thrownMessage([&] { link.read(buffer, 64); }), "read operation timed out");
    EXPECT_EQ(clock.tickMs() - start, 10001u);
}

TEST_F(PipeLink, ARestartingProbeLeavesTheBusAndReturnsWithAnotherProductId) {
    {
        PipeDataLink link(record());
        packets->reenumerateOnNextPacket(PRODUCT_ID_GENERATION2_BOOTLOADER, 1500);
        EXPECT_EQ(link.write(packet(char(0x83)).constData(), 64), 64);
        EXPECT_TRUE(bus->enumerate().isEmpty());
        char buffer[64];
        EXPECT_EQ(thrownMessage([&] { link.read(buffer, 64); }),
                  "read operation failed (I/O pending)");
    }
    clock.advance(1499);
    EXPECT_TRUE(bus->enumerate().isEmpty());
    EXPECT_EQ(thrownMessage([&] {
                  PipeDataLink stale(UsbDeviceInfo(PROBE_VENDOR_ID, 2, "K2000001", "emulated:1"));
              }),
              "cannot open device driver");
    clock.advance(1);
    const UsbDeviceList devices = bus->enumerate();
    ASSERT_EQ(devices.size(), 1);
    EXPECT_EQ(devices[0].productId, PRODUCT_ID_GENERATION2_BOOTLOADER);
    EXPECT_EQ(devices[0].serialNumber(), QStringLiteral("K2000001"));
    PipeDataLink again(devices[0]);
    packets->answerNextPacket(numbered(64));
    EXPECT_EQ(again.write(packet(char(0x84)).constData(), 64), 64);
    char buffer[64];
    EXPECT_EQ(again.read(buffer, 64), 64);
}

// A reply that comes after its read gave up is owed by the device, across links: the next
// exchange drops it (and whatever an earlier session left queued) before it reads its own.
struct StaleCase {
    const char* name;
    quint32 lateByMs;  // after the read gave up; 0: left queued by another session instead,
                       // LOST: never sent
    static constexpr quint32 LOST = 0xFFFFFFFF;
    int partsFirst;  // bytes of the late reply that came in time (0: none)
    int dropped;     // what discardStaleReplies drops
    quint32 costMs;  // and the time it takes
};

void PrintTo(const StaleCase& c, std::ostream* os) {
    *os << c.name;
}

class StaleReplies : public PipeLink, public ::testing::WithParamInterface<StaleCase> {};

TEST_P(StaleReplies, TheNextExchangeDropsThemBeforeItReadsItsOwn) {
    const StaleCase& c = GetParam();
    const quint32 quiet = PipeDataLink::STALE_REPLY_QUIET_MS;
    if (c.lateByMs == 0) {
        pipe->queueLeftOver(numbered(64));
    } else {
        if (c.partsFirst > 0)
            pipe->setReplyPieces({c.partsFirst});
        // The rest of the reply comes `lateByMs` after the read gives up at 10 s.
        pipe->sendToHost(numbered(64).left(c.partsFirst));
        if (c.lateByMs != StaleCase::LOST)
            pipe->sendToHost(numbered(64).mid(c.partsFirst), 10000 + c.lateByMs);
        PipeDataLink first(record());
        char buffer[64];
        EXPECT_EQ(thrownMessage([&] { first.read(buffer, 64); }), "read operation timed out");
        EXPECT_TRUE(bus->owedReplies().owes(record().devicePath()));
    }
    PipeDataLink next(record());
    const quint32 start = clock.tickMs();
    EXPECT_EQ(next.discardStaleReplies(), c.dropped);
    EXPECT_EQ(clock.tickMs() - start, c.costMs);
    EXPECT_FALSE(bus->owedReplies().owes(record().devicePath()));
    EXPECT_EQ(next.discardStaleReplies(), 0);  // nothing owed any more: a quiet listen only
    EXPECT_EQ(clock.tickMs() - start, c.costMs + quiet);

    packets->answerNextPacket(packet(char(0x42)));
    EXPECT_EQ(next.write(packet(char(0x84)).constData(), 64), 64);
    QByteArray reply(64, '\0');
    EXPECT_EQ(next.read(reply.data(), 64), 64);
    EXPECT_EQ(reply, packet(char(0x42)));
}

INSTANTIATE_TEST_SUITE_P(
    PipeLink, StaleReplies,
    ::testing::Values(
        StaleCase{"LeftQueuedByAnotherSession", 0, 0, 64, PipeDataLink::STALE_REPLY_QUIET_MS},
        StaleCase{"ArrivingWithinTheGrace", 1500, 0, 64, 1500 + PipeDataLink::STALE_REPLY_QUIET_MS},
        // The 40 bytes that came in time were kept: the whole reply is dropped.
        StaleCase{"HalfOfItInTime", 300, 40, 64, 300 + PipeDataLink::STALE_REPLY_QUIET_MS},
        // Past the grace it is presumed lost: the link listens no longer for it.
        StaleCase{"Lost", StaleCase::LOST, 0, 0,
                  PipeDataLink::STALE_REPLY_GRACE_MS + PipeDataLink::STALE_REPLY_QUIET_MS}),
    [](const auto& info) { return std::string(info.param.name); });

// A read that times out after part of a reply arrived keeps that part: the next read on the
// device, on the same link or on a later one, continues the same reply, and once the rest
// came nothing is owed any more.
TEST_F(PipeLink, AReadThatTimesOutMidReplyKeepsItsBytesForTheNextRead) {
    for (const bool sameLink : {true, false}) {
        SCOPED_TRACE(sameLink ? "same link" : "next link");
        pipe->sendToHost(numbered(64).left(40));
        pipe->sendToHost(numbered(64).mid(40), 10000 + 500);  // after the read gave up
        pipe->sendToHost(packet(char(0x42)), 10000 + 500);
        auto first = std::make_unique<PipeDataLink>(record());
        QByteArray reply(64, '\0');
        EXPECT_EQ(thrownMessage([&] { first->read(reply.data(), 64); }),
                  "read operation timed out");
        EXPECT_TRUE(bus->owedReplies().owes(record().devicePath()));
        if (!sameLink)
            first = std::make_unique<PipeDataLink>(record());
        EXPECT_EQ(first->read(reply.data(), 64), 64);
        EXPECT_EQ(reply, numbered(64));
        EXPECT_FALSE(bus->owedReplies().owes(record().devicePath()));
        EXPECT_EQ(first->read(reply.data(), 64), 64);
        EXPECT_EQ(reply, packet(char(0x42)));
    }
}

}  // namespace
