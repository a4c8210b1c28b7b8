// The libusb pipes and the Linux discovery end to end, without hardware: umockdev fakes
// sysfs and /dev/bus/usb, and the usbdevfs requests of the fake device nodes are answered
// by the emulator's device models. Time is real here (libusb times its transfers itself),
// so the time-outs are kept short.
#include "CliUnderTestbed.h"
#include "UmockdevTestbed.h"
#include "UsbdevfsHandler.h"
#include "support/ThrownMessage.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/Ftd2xxDataLink.h"
#include "device/LinuxUsbBackend.h"
#include "device/PipeDataLink.h"
#include "device/SysfsDiscovery.h"
#include "device/UsbDiscovery.h"
#include "device/UsbIds.h"
#include "emu/FtdiChip.h"
#include "emu/RawPacketPipe.h"
#include "emu/ScriptedFunctions.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

FakeUsbDevice fakeGeneration3() {
    return {"1-1", 1, 2, PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3, "K3000001"};
}
FakeUsbDevice fakeGeneration2() {
    return {"1-2", 1, 3, PROBE_VENDOR_ID, PRODUCT_ID_GENERATION2, "K2000001"};
}

class LibusbPipesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testbed.valid());
        const FakeUsbDevice generation3Fake = fakeGeneration3();
        const FakeUsbDevice generation2Fake = fakeGeneration2();
        auto script = std::make_unique<ScriptedByteStream>();
        stream = script.get();
        auto ftdiChip = std::make_unique<FtdiChip>(std::move(script));
        chip = ftdiChip.get();
        generation3 =
            std::make_shared<EmulatedDevice>(generation3Fake.vendorId, generation3Fake.productId,
                                             generation3Fake.serialNumber, std::move(ftdiChip));
        auto packetScript = std::make_unique<ScriptedPacketFunction>();
        packets = packetScript.get();
        auto rawPipe = std::make_unique<RawPacketPipe>(std::move(packetScript));
        pipe = rawPipe.get();
        generation2 =
            std::make_shared<EmulatedDevice>(generation2Fake.vendorId, generation2Fake.productId,
                                             generation2Fake.serialNumber, std::move(rawPipe));
        handler3 = std::make_unique<UsbdevfsHandler>(generation3);
        handler2 = std::make_unique<UsbdevfsHandler>(generation2);

        testbed.addRootHub();
        ASSERT_TRUE(testbed.addUsbDevice(generation3Fake, handler3.get()));
        ASSERT_TRUE(testbed.addUsbDevice(generation2Fake, handler2.get()));
        // A fresh backend per test: its libusb context starts after the devices exist.
        backend.emplace(std::make_unique<LinuxUsbBackend>());
    }
    void TearDown() override { backend.reset(); }

    UsbDeviceInfo record(const FakeUsbDevice& device) const {
        for (const UsbDeviceInfo& info : usbBackend().enumerate()) {
            if (info.serialNumber() == device.serialNumber) {
                return info;
            }
        }
        ADD_FAILURE() << "fake device not discovered";
        return UsbDeviceInfo();
    }
    QList<UsbFrame> controls(EmulatedDevice& device) const {
        return device.frameLog().select(UsbFrame::Kind::Control, UsbFrame::Direction::Out);
    }

    // Destroyed in reverse: the backend (and libusb) first, the testbed before the
    // handlers it calls.
    std::unique_ptr<UsbdevfsHandler> handler3;
    std::unique_ptr<UsbdevfsHandler> handler2;
    UmockdevTestbed testbed;
    std::optional<ScopedUsbBackend> backend;
    std::shared_ptr<EmulatedDevice> generation3;
    std::shared_ptr<EmulatedDevice> generation2;
    ScriptedByteStream* stream = nullptr;
    FtdiChip* chip = nullptr;
    ScriptedPacketFunction* packets = nullptr;
    RawPacketPipe* pipe = nullptr;
};

TEST_F(LibusbPipesTest, SysfsDiscoveryFindsTheFakeDevicesUnderTheDefaultRoot) {
    const UsbDeviceList devices = SysfsDiscovery().enumerate();
    ASSERT_EQ(devices.size(), 3);
    EXPECT_EQ(devices[0],
              UsbDeviceInfo(PROBE_VENDOR_ID, 3, "K3000001", "/dev/bus/usb/001/002", "1-1"));
    EXPECT_EQ(devices[1],
              UsbDeviceInfo(PROBE_VENDOR_ID, 2, "K2000001", "/dev/bus/usb/001/003", "1-2"));
    EXPECT_EQ(devices[2].vendorId, 0x1D6B);
    const UsbDeviceList generation2Devices = findGeneration2Devices();
    ASSERT_EQ(generation2Devices.size(), 1);
    EXPECT_EQ(generation2Devices[0].serialNumber(), QStringLiteral("K2000001"));
}

TEST_F(LibusbPipesTest, OpeningClaimsTheInterfaceAndSetsTheChipUpWithControlTransfers) {
    {
        Ftd2xxDataLink link(record(fakeGeneration3()));
        EXPECT_EQ(handler3->counts().claims, 1);
        EXPECT_EQ(generation3->openConnections(), 1);
        const QList<UsbFrame> frames = controls(*generation3);
        ASSERT_EQ(frames.size(), 5);
        EXPECT_TRUE(frames[0].setup.isClearHalt());
        EXPECT_EQ(frames[0].setup.index, UsbFunction::BULK_IN_ENDPOINT);
        EXPECT_TRUE(frames[1].setup.isClearHalt());
        EXPECT_EQ(frames[1].setup.index, UsbFunction::BULK_OUT_ENDPOINT);
        const quint16 values[][2] = {{9, 1}, {0, 1}, {0, 2}};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(frames[2 + i].setup.requestType, 0x40);
            EXPECT_EQ(frames[2 + i].setup.request, values[i][0]);
            EXPECT_EQ(frames[2 + i].setup.value, values[i][1]);
            EXPECT_EQ(frames[2 + i].setup.index, 1);
        }
        EXPECT_EQ(chip->latencyMs(), 1);
    }
    EXPECT_EQ(handler3->counts().releases, 1);
    EXPECT_EQ(generation3->openConnections(), 0);
    EXPECT_EQ(handler3->urbsOutstanding(), 0);
}

TEST_F(LibusbPipesTest, BulkWriteAndFramedBulkReadThroughTheFtdiLink) {
    Ftd2xxDataLink link(record(fakeGeneration3()));
    generation3->withLock(
        [&] { stream->answerNextWrite(QByteArray(130, 'r').replace(0, 3, "abc")); });
    EXPECT_EQ(link.write("\x08\x5A\xC3\x17\x9E", 5), 5);
    EXPECT_EQ(stream->receivedBytes(), QByteArray("\x08\x5A\xC3\x17\x9E"));
    QByteArray reply(125, '\0');
    EXPECT_EQ(link.read(reply.data(), 125), 125);
    EXPECT_EQ(reply.left(4), QByteArray("abcr"));
    QByteArray rest(5, '\0');
    EXPECT_EQ(link.read(rest.data(), 5), 5);
    EXPECT_EQ(rest, QByteArray(5, 'r'));
    const QList<UsbFrame> in =
        generation3->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::In);
    ASSERT_EQ(in.size(), 3);
    EXPECT_EQ(in[0].bytes.size(), 64);
    EXPECT_EQ(in[0].bytes.left(2), QByteArray("\x31\x60"));
    EXPECT_EQ(in[2].bytes.size(), 8);
}

TEST_F(LibusbPipesTest, AnIdleChipEndsTheReadAfterTheTimeoutWithStatusPackets) {
    Ftd2xxDataLink link(record(fakeGeneration3()));
    link.setTimeout(30);
    const quint32 start = tickCountMs();
    char buffer[4];
    EXPECT_EQ(link.read(buffer, 4), 0);
    EXPECT_GT(tickCountMs() - start, 30u);
    EXPECT_GE(generation3->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::In).size(),
              2);
}

TEST_F(LibusbPipesTest, AReadThatTimesOutIsCancelledAndTheNextTransferWorks) {
    PipeDataLink link(record(fakeGeneration2()));
    link.setTimeout(100);
    const quint32 start = tickCountMs();
    char buffer[64];
    EXPECT_EQ(thrownMessage([&] { link.read(buffer, 64); }), "read operation timed out");
    EXPECT_GE(tickCountMs() - start, 100u);
    EXPECT_EQ(handler2->counts().discards, 1);
    EXPECT_EQ(handler2->urbsOutstanding(), 0);
    const QList<UsbFrame> frames = generation2->frameLog().frames();
    ASSERT_FALSE(frames.isEmpty());
    EXPECT_EQ(frames.last().outcome, TransferResult::TimedOut);

    generation2->withLock([&] {
        pipe->setReplyPieces({40});
        packets->answerNextPacket(QByteArray(64, 'i'));
    });
    EXPECT_EQ(link.write(QByteArray(64, '\x84').constData(), 64), 64);
    EXPECT_EQ(link.read(buffer, 64), 64);
    EXPECT_EQ(QByteArray(buffer, 64), QByteArray(64, 'i'));
    EXPECT_EQ(packets->packets().size(), 1);
}

TEST_F(LibusbPipesTest, AnFtdiReadThatNeverCompletesIsCancelledAndFails) {
    Ftd2xxDataLink link(record(fakeGeneration3()));
    link.setTimeout(50);
    generation3->faults().inject(UsbFrame::Direction::In, TransferFault::never());
    char buffer[4];
    EXPECT_EQ(link.read(buffer, 4), -1);
    EXPECT_EQ(handler3->counts().discards, 1);
    generation3->withLock([&] { chip->sendToHost("late"); });
    EXPECT_EQ(link.read(buffer, 4), 4);
}

// The refusal's kind travels with the failure, below its message.
OpenRefusal refusalOf(const std::function<void()>& open) {
    try {
        open();
    } catch (const UsbOpenError& error) {
        return error.refusal();
    }
    return OpenRefusal::None;
}

TEST_F(LibusbPipesTest, ABusyDeviceIsAlreadyInUseAndOtherRefusalsCannotOpen) {
    generation3->faults().refuseOpen(OpenRefusal::Busy, 2);
    EXPECT_EQ(refusalOf([&] { Ftd2xxDataLink link(record(fakeGeneration3())); }),
              OpenRefusal::Busy);
    EXPECT_EQ(thrownMessage([&] { Ftd2xxDataLink link(record(fakeGeneration3())); }),
              "device already in use");
    EXPECT_TRUE(usbBackend().lastError().contains(QStringLiteral("LIBUSB_ERROR_BUSY")))
        << usbBackend().lastError().toStdString();
    generation2->faults().refuseOpen(OpenRefusal::Other, 2);
    EXPECT_EQ(refusalOf([&] { PipeDataLink link(record(fakeGeneration2())); }), OpenRefusal::Other);
    EXPECT_EQ(thrownMessage([&] { PipeDataLink link(record(fakeGeneration2())); }),
              "cannot open device driver");
    // libusb reports a claim refused other than with EBUSY as LIBUSB_ERROR_OTHER.
    EXPECT_TRUE(usbBackend().lastError().startsWith(QStringLiteral("libusb_claim_interface")))
        << usbBackend().lastError().toStdString();
    EXPECT_FALSE(usbBackend().lastError().contains(QStringLiteral("BUSY")));
    EXPECT_EQ(generation3->openConnections() + generation2->openConnections(), 0);
    // The refusals were for so many opens only.
    EXPECT_EQ(refusalOf([&] { PipeDataLink link(record(fakeGeneration2())); }), OpenRefusal::None);
    PipeDataLink link(record(fakeGeneration2()));
    EXPECT_EQ(generation2->openConnections(), 1);
}

TEST_F(LibusbPipesTest, ABoundKernelDriverIsDetachedForTheLinkAndReattachedAfter) {
    handler3->setKernelDriver(QStringLiteral("ftdi_sio"));
    {
        Ftd2xxDataLink link(record(fakeGeneration3()));
        EXPECT_EQ(handler3->counts().detaches, 1);
        EXPECT_TRUE(handler3->kernelDriver().isEmpty());
    }
    EXPECT_EQ(handler3->counts().reattaches, 1);
    EXPECT_EQ(handler3->kernelDriver(), QStringLiteral("ftdi_sio"));
}

TEST_F(LibusbPipesTest, PathsThatNameNoDeviceCannotBeOpened) {
    struct Case {
        const char* path;
        const char* reason;
    };
    const Case cases[] = {
        {"/dev/bus/usb/001/099", "open /dev/bus/usb/001/099: No such file or directory (ENOENT)"},
        {"/dev/bus/usb/001/000", "not a USB device path"},
        {"emulated:1", "not a USB device path"},
        {"", "not a USB device path"}};
    for (const Case& each : cases) {
        const UsbDeviceInfo device(PROBE_VENDOR_ID, 2, "K2", QString::fromLatin1(each.path));
        EXPECT_EQ(thrownMessage([&] { PipeDataLink link(device); }), "cannot open device driver")
            << each.path;
        EXPECT_TRUE(usbBackend().lastError().startsWith(QLatin1String(each.reason)))
            << usbBackend().lastError().toStdString();
    }
}

TEST_F(LibusbPipesTest, AProbeThatRestartedUnannouncedOpensWhereDiscoveryFindsIt) {
    { PipeDataLink link(record(fakeGeneration2())); }  // this process's libusb is set up
    // The probe comes back at a new address on its port, and no event says so.
    FakeUsbDevice restarted = fakeGeneration2();
    ASSERT_TRUE(testbed.readdressSilently(restarted, 9, handler2.get()));
    const UsbDeviceInfo found = record(restarted);
    EXPECT_EQ(found.devicePath(), QStringLiteral("/dev/bus/usb/001/009"));
    PipeDataLink link(found);
    EXPECT_EQ(generation2->openConnections(), 1);
    EXPECT_EQ(handler2->counts().claims, 2);
}

TEST_F(LibusbPipesTest, ANodeThisUserMayNotOpenIsDeniedWithTheSystemsReason) {
    // kvtool-cli runs as a user who may not open the probe's node.
    testbed.restrictNode(fakeGeneration2());
    const CliOutcome run =
        runCliUnderTestbed({QStringLiteral("info"), QStringLiteral("--serial"),
                            QStringLiteral("K2000001"), QStringLiteral("--verbose")},
                           {}, true);
    EXPECT_EQ(run.exitCode, 4) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("kvtool-cli: cannot open device driver")));
    EXPECT_TRUE(run.err.contains(
        QStringLiteral("last USB error: open /dev/bus/usb/001/003: Permission denied (EACCES)")))
        << run.err.toStdString();
    EXPECT_EQ(handler2->counts().claims, 0);
}

TEST_F(LibusbPipesTest, AStalledSetUpRequestFailsTheOpeningAndReleasesTheDevice) {
    generation3->faults().failVendorRequest(9, 1, 1);
    EXPECT_EQ(thrownMessage([&] { Ftd2xxDataLink link(record(fakeGeneration3())); }),
              "Cannot set latency timer");
    generation3->faults().failPipeReset(1);
    EXPECT_EQ(thrownMessage([&] { Ftd2xxDataLink link(record(fakeGeneration3())); }),
              "Cannot set reset on pipe");
    EXPECT_EQ(handler3->counts().claims, 2);
    EXPECT_EQ(handler3->counts().releases, 2);
    EXPECT_EQ(generation3->openConnections(), 0);
}

TEST_F(LibusbPipesTest, TransferErrorsAndAnUnpluggedDeviceGiveTheirMessages) {
    PipeDataLink link(record(fakeGeneration2()));
    generation2->withLock([&] { pipe->sendToHost(QByteArray(64, 'x')); });
    generation2->faults().inject(UsbFrame::Direction::In, TransferFault::fail());
    char buffer[64];
    EXPECT_EQ(thrownMessage([&] { link.read(buffer, 64); }),
              "read operation failed (GetOverlappedResult)");
    generation2->unplug();
    EXPECT_EQ(thrownMessage([&] { link.read(buffer, 64); }), "read operation failed (I/O pending)");
    EXPECT_EQ(thrownMessage([&] { link.write(buffer, 64); }), "write operation failed");
}

}  // namespace
