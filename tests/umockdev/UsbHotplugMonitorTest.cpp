// Attach and detach events through udev's monitor, with umockdev sending real uevents.
#include "UmockdevTestbed.h"

#include "device/UsbHotplugMonitor.h"
#include "device/UsbIds.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

// Serves events until `told` reaches `count` or a second passed, then a little longer so
// that a report too many would show.
void serveUntil(const int& told, int count) {
    const QDeadlineTimer deadline(1000);
    while (told < count && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    const QDeadlineTimer after(3 * UsbHotplugMonitor::SETTLE_MS);
    while (!after.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

const FakeUsbDevice PROBE{QStringLiteral("1-4"),     1, 9, PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3,
                          QStringLiteral("K3000009")};

TEST(UsbHotplugMonitor, TellsEachPlugAndUnplugOnceAndABurstOnce) {
    UmockdevTestbed testbed;
    ASSERT_TRUE(testbed.valid());
    testbed.addRootHub();
    UsbHotplugMonitor monitor;  // udev's socket is faked only once the testbed exists
    ASSERT_TRUE(monitor.isWatching());
    int told = 0;
    QObject::connect(&monitor, &UsbHotplugMonitor::devicesChanged, [&] { ++told; });

    ASSERT_TRUE(testbed.addUsbDevice(PROBE, nullptr));
    serveUntil(told, 1);
    EXPECT_EQ(told, 1);
    testbed.removeUsbDevice(PROBE);
    serveUntil(told, 2);
    EXPECT_EQ(told, 2);

    // A flood of events is one report, not one each.
    ASSERT_TRUE(testbed.addUsbDevice(PROBE, nullptr));
    for (int n = 0; n < 10; ++n)
        testbed.uevent(PROBE, "change");
    serveUntil(told, 3);
    EXPECT_EQ(told, 3);
}

TEST(UsbHotplugMonitor, AWaitWithoutAnEventLoopEndsAtTheEventOrTheTimeOut) {
    UmockdevTestbed testbed;
    ASSERT_TRUE(testbed.valid());
    UsbHotplugMonitor monitor;
    ASSERT_TRUE(monitor.isWatching());
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(monitor.waitForChange(100));
    EXPECT_GE(clock.elapsed(), 100);
    ASSERT_TRUE(testbed.addUsbDevice(PROBE, nullptr));
    clock.restart();
    EXPECT_TRUE(monitor.waitForChange(5000));
    EXPECT_LT(clock.elapsed(), 2500);  // the event, not the time-out
}

}  // namespace
