// A whole generation-2 download of the largest image (13311 bytes) against the emulated
// probe: EnterBootloader, the wait for the restarted bootloader, 400 Program packets, the
// verify phase, EndDownload. Virtual time, so only the host's own work (and the
// emulator's) is measured. Reported: CPU time per download, packets sent, the virtual time
// the download would take on the wire with the emulated probe's timings, and of that the
// time the pairing of replies with requests costs: the Verify exchanges beyond each
// block's own (the resync, the decoys among the blocks, the trailer) and any listen that
// timed out; the goal is at most 5 % of the wire time.
#include "app/Clock.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedDevice.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/Gen2Probe.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"
#include "gen2/KorvaneBootloader.h"
#include "gen2/ReplyPairing.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QTemporaryDir>

#include <optional>

#include <benchmark/benchmark.h>

namespace {

struct Pairing {
    quint32 ms = 0;    // virtual time of the exchanges it adds
    int verifies = 0;  // the Verify packets it adds
};

// What the pairing adds to a clean download of `zone`: every Verify exchange (the packet
// and its answer) but the one of each block with its own bytes among the blocks, and every
// read that timed out.
Pairing pairingOf(const QList<UsbFrame>& frames, const QByteArray& zone) {
    QList<qsizetype> verifies;
    Pairing pairing;
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const UsbFrame& frame = frames[i];
        if (frame.isBulkIn() && frame.outcome == TransferResult::TimedOut)
            pairing.ms += frame.timeMs - frame.startMs;
        if (frame.isBulkOut() && frame.bytes.startsWith(char(kv2::Command::Verify)))
            verifies << i;
    }
    const qsizetype trailer = verifies.size() - ReplyPairing::TRAILER_LENGTH;
    for (qsizetype n = 0; n < verifies.size(); ++n) {
        const qsizetype out = verifies[n];
        const std::optional<kv2::Request> request = kv2::parseRequest(frames[out].bytes);
        const bool own =
            request && request->data == QByteArrayView(zone).sliced(request->address - 512,
                                                                    request->data.size());
        if (n >= ReplyPairing::RESYNC_LENGTH && n < trailer && own)
            continue;
        ++pairing.verifies;
        if (out + 1 < frames.size())
            pairing.ms += frames[out + 1].timeMs - frames[out].startMs;
    }
    return pairing;
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
    quint64 pairingMs = 0;
    qint64 pairingVerifies = 0;
    for (auto _ : state) {
        const quint32 start = clock.tickMs();
        KorvaneBootloader bootloader;
        bootloader.downloadApplication(image, true);
        virtualMs += clock.tickMs() - start;

        state.PauseTiming();
        packets += device->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::Out).size();
        const Pairing pairing =
            pairingOf(device->frameLog().frames(), kv2::applicationZone(image.data).toByteArray());
        pairingMs += pairing.ms;
        pairingVerifies += pairing.verifies;
        device->frameLog().clear();
        clock.advance(Gen2Probe::DEFAULT_REBOOT_MS);  // back in the application
        state.ResumeTiming();
    }
    const auto downloads = double(state.iterations());
    state.counters["packets_sent"] = double(packets) / downloads;
    state.counters["wire_ms"] = double(virtualMs) / downloads;
    state.counters["pairing_ms"] = double(pairingMs) / downloads;
    state.counters["pairing_verifies"] = double(pairingVerifies) / downloads;
    state.counters["pairing_percent"] = 100.0 * double(pairingMs) / double(virtualMs);
    state.SetBytesProcessed(state.iterations() * (spec.size - kv2::APPLICATION_ZONE_START));
}

}  // namespace

BENCHMARK(fullDownload)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

BENCHMARK_MAIN();
