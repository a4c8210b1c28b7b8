#include "emu/FtdiChip.h"

#include "app/Clock.h"
#include "device/FtdiProtocol.h"
#include "emu/EmulatedDevice.h"
#include "emu/ScriptedFunctions.h"

#include <gtest/gtest.h>

namespace {

class FtdiChipTest : public ::testing::Test {
protected:
    FtdiChipTest() : scoped(clock) {
        auto script = std::make_unique<ScriptedByteStream>();
        stream = script.get();
        chip = std::make_unique<FtdiChip>(std::move(script));
    }

    // One IN packet taken from the chip now.
    QByteArray packet(int maxLength = 64) {
        QByteArray bytes(maxLength, '\0');
        bytes.truncate(
            chip->bulkIn(reinterpret_cast<quint8*>(bytes.data()), maxLength, clock.tickMs()));
        return bytes;
    }
    bool vendor(quint8 request, quint16 value) {
        return chip->controlOut(ControlRequest::vendorOut(request, value, 1), clock.tickMs());
    }

    VirtualClock clock{500};
    ScopedClock scoped;
    ScriptedByteStream* stream;
    std::unique_ptr<FtdiChip> chip;
};

TEST_F(FtdiChipTest, PacketsCarryTwoStatusBytesAndAtMostSixtyTwoDataBytes) {
    QByteArray reply;
    for (int i = 0; i < 100; ++i) {
        reply += char(i);
    }
    chip->sendToHost(reply);
    EXPECT_EQ(chip->bulkInDelay(clock.tickMs()), 0u);
    const QByteArray first = packet();
    ASSERT_EQ(first.size(), 64);
    EXPECT_EQ(first.left(2), QByteArray("\x31\x60"));
    EXPECT_EQ(first.mid(2), reply.left(62));
    const QByteArray second = packet(10);  // the host asked for less than a packet
    EXPECT_EQ(second.mid(2), reply.mid(62, 8));
    EXPECT_EQ(packet().mid(2), reply.mid(70));
    EXPECT_EQ(packet(), QByteArray("\x31\x60"));
    EXPECT_EQ(packet(1), QByteArray("\x31"));
}

TEST_F(FtdiChipTest, AnIdleChipAnswersAfterItsLatencyTimerWhichTheLatencyRequestSets) {
    EXPECT_EQ(chip->bulkInDelay(clock.tickMs()), 16u);
    EXPECT_TRUE(vendor(ftdi::REQUEST_SET_LATENCY_TIMER, 1));
    EXPECT_EQ(chip->bulkInDelay(clock.tickMs()), 1u);
    EXPECT_TRUE(vendor(ftdi::REQUEST_SET_LATENCY_TIMER, 255));
    EXPECT_EQ(chip->latencyMs(), 255);
    EXPECT_FALSE(vendor(ftdi::REQUEST_SET_LATENCY_TIMER, 0));
    EXPECT_EQ(chip->latencyMs(), 255);
}

TEST_F(FtdiChipTest, PurgeRxDropsWhatTheChipHoldsButNotRepliesStillBeingProduced) {
    chip->sendToHost("stale");
    chip->sendToHost("later", 50);
    EXPECT_TRUE(vendor(ftdi::REQUEST_RESET, ftdi::PURGE_TX));
    EXPECT_EQ(chip->readyBytes(clock.tickMs()), 5);
    EXPECT_TRUE(vendor(ftdi::REQUEST_RESET, ftdi::PURGE_RX));
    EXPECT_EQ(chip->readyBytes(clock.tickMs()), 0);
    clock.advance(50);
    EXPECT_EQ(packet().mid(2), QByteArray("later"));
}

TEST_F(FtdiChipTest, APartlyDeliveredChunkIsDroppedWholeByAPurge) {
    chip->sendToHost(QByteArray(70, 'a'));
    packet();
    EXPECT_EQ(chip->readyBytes(clock.tickMs()), 8);
    EXPECT_TRUE(vendor(ftdi::REQUEST_RESET, ftdi::RESET_CHIP));
    EXPECT_EQ(packet(), QByteArray("\x31\x60"));
}

TEST_F(FtdiChipTest, OtherVendorRequestsAreAcceptedAndOtherRequestTypesStall) {
    EXPECT_TRUE(vendor(3, 0x4138));  // a baud rate
    EXPECT_FALSE(vendor(ftdi::REQUEST_RESET, 7));
    ControlRequest classRequest = ControlRequest::vendorOut(0, 1, 1);
    classRequest.requestType = 0x21;
    EXPECT_FALSE(chip->controlOut(classRequest, clock.tickMs()));
}

TEST_F(FtdiChipTest, RepliesKeepTheirOrderWhateverTheirDelays) {
    chip->sendToHost("first", 30);
    chip->sendToHost("second", 0);
    EXPECT_EQ(chip->readyBytes(clock.tickMs()), 0);
    clock.advance(30);
    EXPECT_EQ(packet().mid(2), QByteArray("firstsecond"));
}

// Through the emulated pipes: an idle chip costs its latency period per packet, and a
// reply that takes 50 ms arrives with the first packet after it is ready.
TEST_F(FtdiChipTest, OverThePipesEachIdlePacketCostsTheLatencyPeriod) {
    auto device = std::make_shared<EmulatedDevice>(
        0x131B, 3, QStringLiteral("K3"), std::make_unique<FtdiChip>([] {
            auto s = std::make_unique<ScriptedByteStream>();
            s->answerNextWrite("done", 50);
            return s;
        }()));
    const std::unique_ptr<UsbPipes> pipes = device->openPipes();
    const quint32 start = clock.tickMs();
    ASSERT_EQ(pipes->write(reinterpret_cast<const quint8*>("erase"), 5, 1000).count, 5);
    quint8 buffer[64];
    QList<quint32> times;
    QByteArray data;
    while (data.isEmpty()) {
        const TransferResult result = pipes->read(buffer, 64, 1000);
        ASSERT_TRUE(result.ok());
        times.append(clock.tickMs() - start);
        data = QByteArray(reinterpret_cast<const char*>(buffer) + 2, result.count - 2);
    }
    EXPECT_EQ(times, QList<quint32>({16, 32, 48, 64}));
    EXPECT_EQ(data, QByteArray("done"));
}

}  // namespace
