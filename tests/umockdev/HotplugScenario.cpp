// How long the window takes from a probe being plugged in to showing what the probe runs,
// through the real Linux path: umockdev adds the device (its "add" uevent goes out), sysfs
// discovery finds it and the generation-3 page reads it over libusb. Plugs come at random
// moments of the window's one-second poll; each is timed once with the window following
// udev's events and once with its timer alone. Prints the figures; asserts nothing about
// them (run it by hand: build/dev/tests/umockdev/hotplug_scenario [PLUGS]).
#include "UmockdevTestbed.h"
#include "UsbdevfsHandler.h"

#include "app/KorvaneConfigurer.h"
#include "device/LinuxUsbBackend.h"
#include "device/UsbHotplugMonitor.h"
#include "device/UsbIds.h"
#include "emu/Gen3Probe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Serves the window until `done` holds or `timeoutMs` passed; returns the time it took.
qint64 serveUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 1);
    return clock.elapsed();
}

std::vector<qint64> plugs(UmockdevTestbed& testbed, int count, bool followEvents) {
    auto window = std::make_unique<KorvaneConfigurer>();
    mainWindow = window.get();
    if (!followEvents)
        delete window->findChild<UsbHotplugMonitor*>();
    auto* installed = window->findChild<QLabel*>(QStringLiteral("installedLabel"));
    std::vector<qint64> times;
    for (int n = 0; n < count; ++n) {
        Gen3ProbeOptions options;
        options.loader.timing = Gen3Loader::Timing::instant();
        auto device = createGen3Probe(QStringLiteral("K30000%1").arg(10 + n), options);
        UsbdevfsHandler handler(device);
        const FakeUsbDevice fake{
            QStringLiteral("1-3"), 1, 10 + n, PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3,
            device->serialNumber()};
        // Somewhere within the poll timer's second.
        serveUntil([] { return false; }, int(QRandomGenerator::global()->bounded(1000)));
        installed->clear();
        QElapsedTimer clock;
        clock.start();
        if (!testbed.addUsbDevice(fake, &handler))
            return {};
        serveUntil([&] { return !installed->text().isEmpty(); });
        times.push_back(clock.elapsed());
        testbed.removeUsbDevice(fake);
        serveUntil([&] {
            return window->findChild<QLabel*>(QStringLiteral("statusLabel"))
                ->text()
                .startsWith(QStringLiteral("No devices"));
        });
    }
    mainWindow = nullptr;
    return times;
}

void print(const char* how, std::vector<qint64> times) {
    std::sort(times.begin(), times.end());
    QStringList each;
    for (const qint64 t : times)
        each << QString::number(t);
    std::printf("%-28s plug -> firmware shown: min %lld ms, median %lld ms, max %lld ms  (%s)\n",
                how, times.empty() ? -1LL : static_cast<long long>(times.front()),
                times.empty() ? -1LL : static_cast<long long>(times[times.size() / 2]),
                times.empty() ? -1LL : static_cast<long long>(times.back()),
                qPrintable(each.join(u' ')));
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 8;
    UmockdevTestbed testbed;
    if (!testbed.valid())
        return 1;
    testbed.addRootHub();
    ScopedUsbBackend backend(std::make_unique<LinuxUsbBackend>());
    print("udev events and timer:", plugs(testbed, count, true));
    print("timer alone:", plugs(testbed, count, false));
    return 0;
}
