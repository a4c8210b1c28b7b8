// A 1 MiB generation-3 install (connect, erase, download, verify, disconnect) through the
// real Ftd2xxDataLink against the emulated loader on the emulated bus, in virtual time, so
// that only the work of the host and the emulated probe is measured.
//
// Reported:
//   cpu_ms_per_MiB      process CPU time per install of 1 MiB: the host's side (link,
//                       framing, CRC of the host's copy) plus the emulated probe's (chip,
//                       loader memory, its CRC). Target: under 20 ms.
//   transfers_per_chunk bulk USB transfers per 8192-byte chunk (connect and disconnect
//                       left out), against
//   minimum_per_chunk   what the protocol needs: erase frame + reply, write frame + data +
//                       reply, CRC frame + reply = 7.
// Two loaders: one that answers at once, and one with the demo's working times, whose
// replies the link waits for by polling the chip (status-only packets, 1 ms latency).
#include "app/Clock.h"
#include "device/Ftd2xxDataLink.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/Gen3Probe.h"
#include "gen3/Gen3Engine.h"
#include "gen3/ImageFile.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>

namespace {

constexpr int IMAGE_SIZE = 1 << 20;
constexpr int CHUNKS = IMAGE_SIZE / TRANSFER_CHUNK;
// Bulk transfers of connect (frame, reply) and disconnect (frame, reply).
constexpr int FIXED_TRANSFERS = 4;
constexpr int MINIMUM_PER_CHUNK = 2 + 3 + 2;

QByteArray benchImage() {
    QByteArray image(IMAGE_SIZE, Qt::Uninitialized);
    for (int i = 0; i < IMAGE_SIZE; ++i) {
        image[i] = char(i * 131 + (i >> 13));
    }
    FirmwareImageHeader header;
    header.magic = IMAGE_MAGIC;
    header.versionMajor = 9;
    header.setDescription(QStringLiteral("bench"));
    return image.replace(0, FirmwareImageHeader::SIZE, header.toBytes());
}

void install(EmulatedUsbBus& bus, const QByteArray& image) {
    Gen3Engine installer;
    Ftd2xxDataLink link(bus.enumerate().first());
    installer.installImage(link, image);
}

void installOneMebibyte(benchmark::State& state, const Gen3Loader::Timing& timing) {
    VirtualClock clock;
    ScopedClock scopedClock(clock);
    auto* bus = new EmulatedUsbBus;
    ScopedUsbBackend backend{std::unique_ptr<UsbBackend>(bus)};
    Gen3ProbeOptions options;
    options.loader.memorySize = 2 * IMAGE_SIZE;
    options.loader.timing = timing;
    auto device = bus->attach(createGen3Probe(QStringLiteral("K3BENCH"), options));
    const QByteArray image = benchImage();

    // One install with the frame log on, to count the transfers.
    install(*bus, image);
    const QList<UsbFrame> frames = device->frameLog().frames();
    const auto bulk = std::count_if(frames.begin(), frames.end(), [](const UsbFrame& frame) {
        return frame.kind == UsbFrame::Kind::Bulk;
    });
    device->frameLog().setEnabled(false);
    device->frameLog().clear();

    const std::clock_t cpuStart = std::clock();
    for (auto _ : state) {
        install(*bus, image);
    }
    const double cpuMs = 1e3 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    state.SetBytesProcessed(state.iterations() * IMAGE_SIZE);
    state.counters["cpu_ms_per_MiB"] = cpuMs / double(state.iterations());
    state.counters["transfers_per_chunk"] = double(bulk - FIXED_TRANSFERS) / CHUNKS;
    state.counters["minimum_per_chunk"] = MINIMUM_PER_CHUNK;
}

void BM_Gen3Install1MiB_InstantLoader(benchmark::State& state) {
    installOneMebibyte(state, Gen3Loader::Timing::instant());
}
BENCHMARK(BM_Gen3Install1MiB_InstantLoader)->Unit(benchmark::kMillisecond);

void BM_Gen3Install1MiB_DemoTiming(benchmark::State& state) {
    installOneMebibyte(state, Gen3Loader::Timing());
}
BENCHMARK(BM_Gen3Install1MiB_DemoTiming)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
