// The emulated bus's frame-log export, which the command-line tests read.

#include "emu/EmulatedUsbBus.h"
#include "emu/FrameLogExport.h"
#include "emu/Gen3Probe.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(FrameLogExport, OneLinePerFrame) {
    UsbFrame bulk;
    bulk.direction = UsbFrame::Direction::Out;
    bulk.bytes = QByteArray::fromHex("085ac3179e");
    bulk.timeMs = 12;
    EXPECT_EQ(frameLogLine(1, QStringLiteral("K3000001"), bulk),
              u"1 K3000001 bulk-out completed 12 085ac3179e");

    UsbFrame empty;
    empty.direction = UsbFrame::Direction::In;
    empty.outcome = TransferResult::TimedOut;
    EXPECT_EQ(frameLogLine(2, QString(), empty), u"2 - bulk-in timed-out 0 -");

    UsbFrame control;
    control.kind = UsbFrame::Kind::Control;
    control.setup = ControlRequest::vendorOut(9, 1, 1);
    control.outcome = TransferResult::Failed;
    EXPECT_EQ(frameLogLine(1, QStringLiteral("S"), control),
              u"1 S control-out failed 0 - 40.09.0001.0001");
}

TEST(FrameLogExport, BusAppendsEveryDevicesLogWhenItGoes) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("frames.log"));
    {
        EmulatedUsbBus bus;
        bus.exportFrameLogAtExit(path);
        const auto probe = bus.attach(createGen3Probe(QStringLiteral("K3000001")));
        bus.attach(createGen3Probe(QStringLiteral("K3000002")));
        UsbFrame frame;
        frame.bytes = "x";
        probe->frameLog().append(frame);
        bus.detach(probe);  // still exported: it was on the bus
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("1 K3000001 bulk-out completed 0 78\n"));

    // Nothing happened: the file is still written, empty, so a test can tell.
    const QString quiet = dir.filePath(QStringLiteral("quiet.log"));
    {
        EmulatedUsbBus bus;
        bus.exportFrameLogAtExit(quiet);
    }
    EXPECT_TRUE(QFile::exists(quiet));
}

}  // namespace
