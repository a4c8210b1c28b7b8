// CPU time of one discovery scan plus the probe selection over a sysfs-like tree of 50
// devices, as the main window does once a second. Target: under 0.5 ms.
#include "device/SysfsDiscovery.h"
#include "device/UsbIds.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

void writeAttribute(const QString& directory, const char* name, const QByteArray& value) {
    QFile file(directory + u'/' + QLatin1String(name));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(value + '\n');
    }
}

void BM_EnumerateAndSelect50Devices(benchmark::State& state) {
    QTemporaryDir tree;
    for (int i = 0; i < 50; ++i) {
        const QString device = tree.filePath(QStringLiteral("1-%1").arg(i));
        QDir().mkpath(device);
        QDir().mkpath(device + QStringLiteral(":1.0"));  // its interface entry
        writeAttribute(device, "uevent",
                       "MAJOR=189\nMINOR=" + QByteArray::number(i + 1) + "\nDEVNAME=bus/usb/001/" +
                           QByteArray::number(i + 2) +
                           "\nDEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=" +
                           (i == 7 ? "131b/3/100" : "46d/c52b/1201") +
                           "\nTYPE=0/0/0\nBUSNUM=001\nDEVNUM=" + QByteArray::number(i + 2));
        writeAttribute(device, "serial", "K3" + QByteArray::number(100000 + i));
    }
    const SysfsDiscovery discovery(tree.path());
    for (auto _ : state) {
        const UsbDeviceList probes = discovery.enumerate().select(PROBE_VENDOR_ID, -1);
        benchmark::DoNotOptimize(probes.size());
        if (probes.size() != 1) {
            state.SkipWithError("expected exactly one probe");
            break;
        }
    }
}
BENCHMARK(BM_EnumerateAndSelect50Devices)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
