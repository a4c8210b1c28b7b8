// The wait of a generation-2 install for the probe to come back as its application.

#include "app/Clock.h"
#include "cli/CliFailure.h"
#include "cli/Gen2Install.h"
#include "device/PipeDataLink.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/Gen2Probe.h"
#include "gen2/KV2VersionRecord.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// A probe that is back on the bus but answers nothing costs each look at it the link's
// whole time-out; the wait still ends once its time is up, not after a number of looks.
TEST(Gen2RestartWait, EndsWhenItsTimeIsUpEvenIfEveryLookTimesOut) {
    VirtualClock clock;
    const ScopedClock scopedClock(clock);
    auto* bus = new EmulatedUsbBus;
    const ScopedUsbBackend backend{std::unique_ptr<UsbBackend>(bus)};
    const QString serial = QStringLiteral("K2000001");
    auto firmware = std::make_unique<Gen2Probe>(KV2VersionRecord{2, 12, 0x0A}, serial);
    firmware->withholdReplies(-1);
    bus->attach(makeGen2Device(std::move(firmware), serial));
    const UsbDeviceInfo probe = bus->enumerate().value(0);

    QStringList messages;
    const quint32 start = tickCountMs();
    try {
        Gen2Install().readBack(probe, [&](const QString& text) { messages << text; });
        ADD_FAILURE() << "the wait did not fail";
    } catch (const CliFailure& failure) {
        EXPECT_EQ(failure.exitCode, ExitCode::Failed);
        EXPECT_TRUE(failure.message.contains(QStringLiteral("within 30 s")))
            << failure.message.toStdString();
        EXPECT_TRUE(failure.message.contains(QStringLiteral("read operation timed out")))
            << failure.message.toStdString();
    }
    const quint32 waited = tickCountMs() - start;
    EXPECT_GE(waited, quint32(Gen2Install::RESTART_WAIT_MS));
    EXPECT_LE(waited, quint32(Gen2Install::RESTART_WAIT_MS + PipeDataLink::DEFAULT_PIPE_TIMEOUT_MS +
                              Gen2Install::RESTART_POLL_MS));
    EXPECT_EQ(messages.size(), 1);
}

}  // namespace
