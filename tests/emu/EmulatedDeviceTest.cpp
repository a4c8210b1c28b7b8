#include "emu/EmulatedDevice.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/RawPacketPipe.h"
#include "emu/ScriptedFunctions.h"

#include <gtest/gtest.h>

namespace {

class EmulatedDeviceTest : public ::testing::Test {
protected:
    EmulatedDeviceTest() : scoped(clock) {
        auto raw = std::make_unique<RawPacketPipe>(std::make_unique<ScriptedPacketFunction>());
        pipe = raw.get();
        device =
            std::make_shared<EmulatedDevice>(0x131B, 2, QStringLiteral("K2000001"), std::move(raw));
    }

    TransferResult write(UsbPipes& pipes, const char* text) {
        return pipes.write(reinterpret_cast<const quint8*>(text), int(qstrlen(text)), 100);
    }
    std::string openMessage() {
        try {
            device->openPipes();
        } catch (const HException& e) {
            return e.messageText();
        }
        return "opened";
    }

    VirtualClock clock{7};
    ScopedClock scoped;
    RawPacketPipe* pipe;
    std::shared_ptr<EmulatedDevice> device;
};

TEST_F(EmulatedDeviceTest, TransferFaultsHitTheTransfersTheyAreArmedFor) {
    const auto pipes = device->openPipes();
    device->faults().inject(UsbFrame::Direction::Out, TransferFault::fail(), 2, 2);
    QList<TransferResult::Status> outcomes;
    for (int i = 0; i < 5; ++i) {
        outcomes.append(write(*pipes, "p").status);
    }
    using S = TransferResult::Status;
    EXPECT_EQ(outcomes, QList<S>({S::Completed, S::Completed, S::Failed, S::Failed, S::Completed}));
}

TEST_F(EmulatedDeviceTest, AFaultDueWhileAnotherHitsWaitsForTheNextTransfer) {
    const auto pipes = device->openPipes();
    device->faults().inject(UsbFrame::Direction::Out, TransferFault::fail());
    device->faults().inject(UsbFrame::Direction::Out, TransferFault::notStarted());
    EXPECT_EQ(write(*pipes, "a").status, TransferResult::Failed);
    EXPECT_EQ(write(*pipes, "b").status, TransferResult::NotStarted);
    EXPECT_EQ(write(*pipes, "c").status, TransferResult::Completed);
}

TEST_F(EmulatedDeviceTest, OpenRefusalsCountDownAndThenTheDeviceOpens) {
    device->faults().refuseOpen(OpenRefusal::Busy, 2);
    EXPECT_EQ(openMessage(), "device already in use");
    EXPECT_EQ(openMessage(), "device already in use");
    EXPECT_EQ(openMessage(), "opened");
    device->faults().refuseOpen(OpenRefusal::Other, 1);
    EXPECT_EQ(openMessage(), "cannot open device driver");
    EXPECT_EQ(device->openConnections(), 0);
}

TEST_F(EmulatedDeviceTest, TheFrameLogRecordsDirectionKindBytesOutcomeAndTime) {
    const auto pipes = device->openPipes();
    ASSERT_TRUE(write(*pipes, "abc").ok());
    pipe->sendToHost("xy", 5);
    quint8 buffer[8];
    ASSERT_TRUE(pipes->read(buffer, 8, 100).ok());
    EXPECT_FALSE(pipes->vendorRequest(9, 1, 1, QByteArray("p")));
    EXPECT_TRUE(pipes->resetPipe(0));
    const QList<UsbFrame> frames = device->frameLog().frames();
    ASSERT_EQ(frames.size(), 5);
    EXPECT_TRUE(frames[0].isBulkOut());
    EXPECT_EQ(frames[0].bytes, QByteArray("abc"));
    EXPECT_EQ(frames[0].timeMs, 7u);
    EXPECT_TRUE(frames[1].isBulkIn());
    EXPECT_EQ(frames[1].bytes, QByteArray("xy"));
    EXPECT_EQ(frames[1].timeMs, 12u);
    EXPECT_TRUE(frames[2].isControl());
    EXPECT_EQ(frames[2].outcome, TransferResult::Failed);
    EXPECT_EQ(frames[2].setup.request, 9);
    EXPECT_EQ(frames[2].bytes, QByteArray("p"));
    EXPECT_TRUE(frames[3].setup.isClearHalt());
    EXPECT_TRUE(frames[4].setup.isClearHalt());
    device->frameLog().setEnabled(false);
    ASSERT_TRUE(write(*pipes, "quiet").ok());
    EXPECT_EQ(device->frameLog().size(), 5);
}

TEST_F(EmulatedDeviceTest, UnplugAfterBytesDeliversWhatFitsThenFailsEverything) {
    auto script = std::make_unique<ScriptedPacketFunction>();
    ScriptedPacketFunction* function = script.get();
    auto probe = std::make_shared<EmulatedDevice>(
        0x131B, 2, QStringLiteral("K2"), std::make_unique<RawPacketPipe>(std::move(script)));
    const auto pipes = probe->openPipes();
    probe->faults().unplugAfter(UsbFrame::Direction::Out, 6);
    EXPECT_EQ(write(*pipes, "abc").status, TransferResult::Completed);
    EXPECT_EQ(write(*pipes, "def").status, TransferResult::Completed);
    EXPECT_FALSE(probe->present());
    EXPECT_EQ(write(*pipes, "g").status, TransferResult::NotStarted);
    EXPECT_FALSE(pipes->resetPipe(0));
    EXPECT_EQ(function->packets(), QList<QByteArray>({"abc", "def"}));
}

TEST_F(EmulatedDeviceTest, ABusThatDropsADeviceUnplugsItAndOpenPipesFailSafely) {
    EmulatedUsbBus bus;
    bus.attach(device);
    auto pipes = bus.open(bus.enumerate()[0]);
    bus.detach(device);
    device.reset();  // the pipes keep the device alive
    EXPECT_EQ(write(*pipes, "late").status, TransferResult::NotStarted);
    EXPECT_TRUE(bus.enumerate().isEmpty());
}

TEST_F(EmulatedDeviceTest, PluggingBackInListsTheDeviceButOldPipesStayDead) {
    const auto old = device->openPipes();
    device->unplug();
    EXPECT_EQ(openMessage(), "cannot open device driver");
    device->plugIn();
    EXPECT_TRUE(device->present());
    EXPECT_EQ(write(*old, "x").status, TransferResult::NotStarted);
    const auto fresh = device->openPipes();
    EXPECT_TRUE(write(*fresh, "x").ok());
}

TEST_F(EmulatedDeviceTest, ReenumerationCanChangeTheSerialNumber) {
    device->reenumerate(2, 100, QStringLiteral("K2000099"));
    EXPECT_FALSE(device->present());
    EXPECT_EQ(openMessage(), "cannot open device driver");
    clock.advance(100);
    EXPECT_TRUE(device->present());
    EXPECT_EQ(device->serialNumber(), QStringLiteral("K2000099"));
}

}  // namespace
