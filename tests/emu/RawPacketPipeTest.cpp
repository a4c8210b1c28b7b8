#include "emu/RawPacketPipe.h"

#include "app/Clock.h"
#include "emu/EmulatedDevice.h"
#include "emu/ScriptedFunctions.h"

#include <gtest/gtest.h>

namespace {

class RawPacketPipeTest : public ::testing::Test {
protected:
    RawPacketPipeTest() : scoped(clock) {
        auto script = std::make_unique<ScriptedPacketFunction>();
        function = script.get();
        auto raw = std::make_unique<RawPacketPipe>(std::move(script));
        pipe = raw.get();
        device = std::make_shared<EmulatedDevice>(0x131B, 2, QStringLiteral("K2"), std::move(raw));
        pipes = device->openPipes();
    }

    TransferResult read(QByteArray& into, int maxLength, quint32 timeoutMs) {
        into = QByteArray(maxLength, '\0');
        const TransferResult result =
            pipes->read(reinterpret_cast<quint8*>(into.data()), maxLength, timeoutMs);
        into.truncate(result.ok() ? result.count : 0);
        return result;
    }

    VirtualClock clock;
    ScopedClock scoped;
    ScriptedPacketFunction* function;
    RawPacketPipe* pipe;
    std::shared_ptr<EmulatedDevice> device;
    std::unique_ptr<UsbPipes> pipes;
};

TEST_F(RawPacketPipeTest, AReadWithNothingQueuedCostsExactlyItsTimeoutAndLosesNothingLater) {
    QByteArray bytes;
    EXPECT_EQ(read(bytes, 64, 500).status, TransferResult::TimedOut);
    EXPECT_EQ(clock.tickMs(), 500u);
    const QList<UsbFrame> frames = device->frameLog().frames();
    ASSERT_EQ(frames.size(), 1);
    EXPECT_EQ(frames[0].outcome, TransferResult::TimedOut);
    EXPECT_EQ(frames[0].timeMs, 500u);
    pipe->sendToHost("reply");
    EXPECT_TRUE(read(bytes, 64, 500).ok());
    EXPECT_EQ(bytes, QByteArray("reply"));
}

TEST_F(RawPacketPipeTest, ADelayedReplyCostsItsDelayOrTheTimeoutWhicheverIsShorter) {
    pipe->sendToHost("slow", 300);
    QByteArray bytes;
    EXPECT_EQ(read(bytes, 64, 200).status, TransferResult::TimedOut);
    EXPECT_EQ(clock.tickMs(), 200u);
    EXPECT_TRUE(read(bytes, 64, 200).ok());
    EXPECT_EQ(clock.tickMs(), 300u);
    EXPECT_EQ(bytes, QByteArray("slow"));
}

TEST_F(RawPacketPipeTest, ReplyTimingDelaysRepliesInOrderAndKeepsOneTheHostGaveUpOn) {
    ReplyTiming timing;
    timing.latencyMs = 100;
    timing.lateMs = 5000;
    timing.lateReply = 2;
    timing.jitterMinMs = 10;
    timing.jitterMaxMs = 20;
    pipe->setReplyTiming(timing);
    pipe->sendToHost("before a restart");  // no reply is late before the probe restarts
    QByteArray bytes;
    ASSERT_TRUE(read(bytes, 64, 1000).ok());
    const quint32 first = clock.tickMs();
    EXPECT_GE(first, 110u);
    EXPECT_LE(first, 120u);

    pipe->reenumerate(2, 0);
    pipes = device->openPipes();
    const quint32 restarted = clock.tickMs();
    for (const char* reply : {"one", "two", "three"})
        pipe->sendToHost(reply);
    ASSERT_TRUE(read(bytes, 64, 1000).ok());
    EXPECT_EQ(bytes, QByteArray("one"));
    // The second reply after the restart is late: the host gives up, and it stays queued,
    // with the third behind it.
    EXPECT_EQ(read(bytes, 64, 1000).status, TransferResult::TimedOut);
    ASSERT_TRUE(read(bytes, 64, 10000).ok());
    EXPECT_EQ(bytes, QByteArray("two"));
    EXPECT_GE(clock.tickMs() - restarted, 5110u);
    EXPECT_LE(clock.tickMs() - restarted, 5120u);
    ASSERT_TRUE(read(bytes, 64, 0).ok());  // never ahead of the late one
    EXPECT_EQ(bytes, QByteArray("three"));
}

TEST_F(RawPacketPipeTest, AtASerialPaceEachReplyTakesItsLatencyAfterTheOneBefore) {
    for (const bool serial : {false, true}) {
        ReplyTiming timing;
        timing.latencyMs = 100;
        timing.serial = serial;
        pipe->setReplyTiming(timing);
        const quint32 asked = clock.tickMs();
        pipe->sendToHost("one");
        pipe->sendToHost("two");  // asked for at the same moment
        QByteArray bytes;
        ASSERT_TRUE(read(bytes, 64, 1000).ok());
        ASSERT_TRUE(read(bytes, 64, 1000).ok());
        EXPECT_EQ(bytes, QByteArray("two"));
        EXPECT_EQ(clock.tickMs() - asked, serial ? 200u : 100u) << serial;
    }
}

TEST_F(RawPacketPipeTest, RepliesAreSplitIntoTheConfiguredPieces) {
    pipe->setReplyPieces({40});
    pipe->sendToHost(QByteArray(64, 'r'));
    pipe->setReplyPieces({});
    pipe->sendToHost(QByteArray(64, 's'));
    QByteArray bytes;
    ASSERT_TRUE(read(bytes, 64, 10).ok());
    EXPECT_EQ(bytes, QByteArray(40, 'r'));
    ASSERT_TRUE(read(bytes, 64, 10).ok());
    EXPECT_EQ(bytes, QByteArray(24, 'r'));
    ASSERT_TRUE(read(bytes, 64, 10).ok());
    EXPECT_EQ(bytes, QByteArray(64, 's'));
}

TEST_F(RawPacketPipeTest, EachPacketReachesTheFunctionWhole) {
    function->answerNextPacket("pong");
    ASSERT_EQ(pipes->write(reinterpret_cast<const quint8*>("ping"), 4, 10).count, 4);
    EXPECT_EQ(function->packets(), QList<QByteArray>({"ping"}));
    QByteArray bytes;
    ASSERT_TRUE(read(bytes, 64, 10).ok());
    EXPECT_EQ(bytes, QByteArray("pong"));
    EXPECT_FALSE(pipes->vendorRequest(9, 1, 1, QByteArray()));
}

TEST_F(RawPacketPipeTest, ReenumeratingDropsQueuedRepliesAndTakesTheDeviceOffTheBus) {
    pipe->sendToHost("never read");
    function->reenumerateOnNextPacket(0xFF, 1000);
    ASSERT_TRUE(pipes->write(reinterpret_cast<const quint8*>("go"), 2, 10).ok());
    EXPECT_EQ(pipe->queuedReplies(), 0);
    EXPECT_FALSE(device->present());
    EXPECT_EQ(device->productId(), 2);
    clock.advance(1000);
    EXPECT_TRUE(device->present());
    EXPECT_EQ(device->productId(), 0xFF);
    QByteArray bytes;
    EXPECT_EQ(read(bytes, 64, 10).status, TransferResult::NotStarted);
}

}  // namespace
