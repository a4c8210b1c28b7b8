// A whole generation-2 download of the largest image (13311 bytes) against the emulated
// probe: EnterBootloader, the wait for the restarted bootloader, 400 Program and 400
// Verify packets, the closing ReadInfo, EndDownload. Virtual time, so only the host's own
// work (and the emulator's) is measured. Reported: CPU time per download, packets sent, the
// virtual time the download would take on the wire with the emulated probe's timings, and
// of that the time the host spends making sure every reply was read for its own request
// (listening for stale replies before it connects, the closing ReadInfo and the listen
// after it; at most 300 ms).
#include "app/Clock.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedDevice.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/Gen2Probe.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"
#include "gen2/KorvaneBootloader.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

// The time a clean download spends on keeping the replies in step: every listen for stale
// replies (a bulk IN that times out, as nothing is stale), and the closing ReadInfo
// exchange (the last ReadInfo and its answer before EndDownload).
quint32 pairingMs(const QList<UsbFrame>& frames) {
    quint32 total = 0;
    qsizetype closing = -1;
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const UsbFrame& frame = frames[i];
        if (frame.isBulkIn() && frame.outcome == TransferResult::TimedOut)
            total += frame.timeMs - frame.startMs;
        if (frame.isBulkOut() && frame.bytes.startsWith(char(kv2::Command::ReadInfo)))
            closing = i;
        if (frame.isBulkOut() && frame.bytes.startsWith(char(kv2::Command::EndDownload)))
            break;
    }
    if (closing >= 0 && closing + 1 < frames.size())
        total += frames[closing + 1].timeMs - frames[closing].startMs;
    return total;
}

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
    quint64 inStepMs = 0;
    for (auto _ : state) {
        const quint32 start = clock.tickMs();
        KorvaneBootloader bootloader;
        bootloader.downloadApplication(image, true);
        virtualMs += clock.tickMs() - start;

        state.PauseTiming();
        packets += device->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::Out).size();
        inStepMs += pairingMs(device->frameLog().frames());
        device->frameLog().clear();
        clock.advance(Gen2Probe::DEFAULT_REBOOT_MS);  // back in the application
        state.ResumeTiming();
    }
    const auto downloads = double(state.iterations());
    state.counters["packets_sent"] = double(packets) / downloads;
    state.counters["wire_ms"] = double(virtualMs) / downloads;
    state.counters["in_step_ms"] = double(inStepMs) / downloads;
    state.SetBytesProcessed(state.iterations() * (spec.size - kv2::APPLICATION_ZONE_START));
}

}  // namespace

BENCHMARK(fullDownload)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

BENCHMARK_MAIN();
