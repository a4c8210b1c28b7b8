// A whole generation-2 download of the largest image (13311 bytes) against the emulated
// probe: EnterBootloader, the wait for the restarted bootloader, 400 Program and 400
// Verify packets, EndDownload. Virtual time, so only the host's own work (and the
// emulator's) is measured. Reported: CPU time per download, packets sent, and the virtual
// time the download would take on the wire with the emulated probe's timings.
#include "app/Clock.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedDevice.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/Gen2Probe.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KorvaneBootloader.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

void fullDownload(benchmark::State& state) {
    VirtualClock clock;
    ScopedClock scoped(clock);
    auto* bus = new EmulatedUsbBus;
    ScopedUsbBackend backend{std::unique_ptr<UsbBackend>(bus)};
    const QString serial = QStringLiteral("K2000001");
    auto device = bus->attach(
        makeGen2Device(std::make_unique<Gen2Probe>(KV2VersionRecord{1, 5, 0x0A}, serial), serial));

    QTemporaryDir dir;
    KV2ImageSpec spec;
    spec.size = kv2::MAX_IMAGE_SIZE;
    const QString path = dir.filePath(QStringLiteral("kv_largest.bin"));
    writeKV2ImageFile(path, generateKV2Image(spec));
    KV2FirmwareImage image;
    image.load(HPath(path), QString());

    qint64 packets = 0;
    quint64 virtualMs = 0;
    for (auto _ : state) {
        const quint32 start = clock.tickMs();
        KorvaneBootloader bootloader;
        bootloader.downloadApplication(image, true);
        virtualMs += clock.tickMs() - start;

        state.PauseTiming();
        packets += device->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::Out).size();
        device->frameLog().clear();
        clock.advance(Gen2Probe::DEFAULT_REBOOT_MS);  // back in the application
        state.ResumeTiming();
    }
    const auto downloads = double(state.iterations());
    state.counters["packets_sent"] = double(packets) / downloads;
    state.counters["wire_ms"] = double(virtualMs) / downloads;
    state.SetBytesProcessed(state.iterations() * (spec.size - kv2::APPLICATION_ZONE_START));
}

}  // namespace

BENCHMARK(fullDownload)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

BENCHMARK_MAIN();
