// CPU time of loading the largest generation-2 image the download accepts (13311 bytes)
// with the serial patch, the marks placed low so that the backward searches cover nearly
// the whole image, and of building every Program packet of its application zone.
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

KV2ImageSpec largestImageWithLowMarks() {
    KV2ImageSpec spec;
    spec.size = kv2::MAX_IMAGE_SIZE;
    spec.serialMarkerOffset = 0;
    spec.deviceDescriptorOffset = 0x40;
    spec.makerDescriptorOffset = 0x60;
    spec.versionRecordOffset = kv2::MIN_IMAGE_SIZE;
    return spec;
}

void BM_LoadAndPatchLargestImage(benchmark::State& state) {
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("kv_alder_max.bin"));
    writeKV2ImageFile(path, generateKV2Image(largestImageWithLowMarks()));
    const HPath imagePath(path);
    for (auto _ : state) {
        KV2FirmwareImage image;
        image.load(imagePath, QStringLiteral("K2000001"));
        benchmark::DoNotOptimize(image.data.constData());
    }
}
BENCHMARK(BM_LoadAndPatchLargestImage)->Unit(benchmark::kMicrosecond);

void BM_ProgramPacketsOfLargestImage(benchmark::State& state) {
    const QByteArray image = generateKV2Image(largestImageWithLowMarks());
    const QByteArrayView zone = kv2::applicationZone(image);
    for (auto _ : state) {
        int packets = 0;
        for (const kv2::Block& block :
             kv2::splitIntoBlocks(kv2::APPLICATION_ZONE_START, zone.size())) {
            const kv2::Packet packet = kv2::blockPacket(kv2::Command::Program, block.address,
                                                        zone.sliced(block.offset, block.size));
            benchmark::DoNotOptimize(packet.data());
            ++packets;
        }
        state.counters["packets"] = packets;
    }
}
BENCHMARK(BM_ProgramPacketsOfLargestImage)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
