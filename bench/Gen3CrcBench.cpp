// Throughput of computeCrc32 beside the bit-by-bit reference (target: at least 10x) and
// beside a plain one-table, one-byte-per-step loop, with the machine's memory bandwidth
// (memcpy and a read-only sweep over buffers larger than the caches) for comparison.
// Prints a summary after the table.
#include "gen3/Crc32.h"
#include "tests/gen3/Crc32Reference.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t CRC_BUFFER = std::size_t(1) << 20;      // 1 MiB, the size of a large image
constexpr std::size_t MEMORY_BUFFER = std::size_t(64) << 20;  // well beyond the last-level cache

std::vector<quint8> randomBytes(std::size_t size) {
    std::vector<quint8> bytes(size);
    std::mt19937 random(7);
    for (quint8& byte : bytes) {
        byte = quint8(random());
    }
    return bytes;
}

// The textbook table loop: one lookup per byte, each depending on the previous one.
quint32 crc32OneTableLoop(const quint8* data, std::size_t count) {
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 b = 0; b < 256; ++b) {
            quint32 crc = b << 24;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 0x80000000u) ? (crc << 1) ^ CRC32_POLYNOMIAL : crc << 1;
            }
            t[b] = crc;
        }
        return t;
    }();
    quint32 crc = CRC32_INITIAL;
    for (std::size_t i = 0; i < count; ++i) {
        crc = table[(crc >> 24) ^ data[i]] ^ (crc << 8);
    }
    return crc ^ CRC32_FINAL_XOR;
}

template <quint32 (*Crc)(const void*, std::size_t)>
void crcBenchmark(benchmark::State& state) {
    const std::vector<quint8> data = randomBytes(CRC_BUFFER);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc(data.data(), data.size()));
    }
    state.SetBytesProcessed(qint64(state.iterations()) * qint64(data.size()));
}

void BM_ComputeCrc32(benchmark::State& state) {
    crcBenchmark<computeCrc32>(state);
}
void BM_Crc32BitwiseReference(benchmark::State& state) {
    crcBenchmark<crc32BitwiseReference>(state);
}
void BM_Crc32OneTableLoop(benchmark::State& state) {
    const std::vector<quint8> data = randomBytes(CRC_BUFFER);
    if (crc32OneTableLoop(data.data(), data.size()) != computeCrc32(data.data(), data.size())) {
        state.SkipWithError("one-table loop disagrees with computeCrc32");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32OneTableLoop(data.data(), data.size()));
    }
    state.SetBytesProcessed(qint64(state.iterations()) * qint64(data.size()));
}

void BM_MemcpyBandwidth(benchmark::State& state) {
    std::vector<char> source(MEMORY_BUFFER, 'a');
    std::vector<char> target(MEMORY_BUFFER, 'b');
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), MEMORY_BUFFER);
        benchmark::ClobberMemory();
    }
    // Bytes copied; the memory bus moves twice as much (read and write).
    state.SetBytesProcessed(qint64(state.iterations()) * qint64(MEMORY_BUFFER));
}

void BM_MemoryReadBandwidth(benchmark::State& state) {
    std::vector<quint64> words(MEMORY_BUFFER / sizeof(quint64), 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::accumulate(words.begin(), words.end(), quint64(0)));
    }
    state.SetBytesProcessed(qint64(state.iterations()) * qint64(MEMORY_BUFFER));
}

BENCHMARK(BM_ComputeCrc32)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Crc32OneTableLoop)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Crc32BitwiseReference)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemcpyBandwidth)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryReadBandwidth)->Unit(benchmark::kMillisecond);

// The console table, plus each run's rate kept for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            if (!run.error_occurred && rate != run.counters.end()) {
                megabytesPerSecond[run.benchmark_name()] = rate->second.value / 1e6;
            }
        }
    }
    double rate(const std::string& name) const {
        const auto it = megabytesPerSecond.find(name);
        return it != megabytesPerSecond.end() ? it->second : 0.0;
    }

private:
    std::map<std::string, double> megabytesPerSecond;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double fast = reporter.rate("BM_ComputeCrc32");
    const double oneTable = reporter.rate("BM_Crc32OneTableLoop");
    const double reference = reporter.rate("BM_Crc32BitwiseReference");
    const double copy = reporter.rate("BM_MemcpyBandwidth");
    const double read = reporter.rate("BM_MemoryReadBandwidth");
    if (fast > 0 && reference > 0) {
        std::printf(
            "\ncomputeCrc32:            %8.0f MB/s  (%.1fx the bit-by-bit reference, "
            "target >= 10x: %s)\n",
            fast, fast / reference, fast >= 10 * reference ? "met" : "NOT met");
        std::printf("one-table loop:          %8.0f MB/s  (%.1fx the reference)\n", oneTable,
                    oneTable / reference);
        std::printf("bit-by-bit reference:    %8.0f MB/s\n", reference);
    }
    if (copy > 0 || read > 0) {
        std::printf("memory, memcpy 64 MiB:   %8.0f MB/s copied (%.0f MB/s on the bus)\n", copy,
                    2 * copy);
        std::printf("memory, read 64 MiB:     %8.0f MB/s\n", read);
        if (fast > 0 && read > 0) {
            std::printf("computeCrc32 runs at %.0f%% of the read bandwidth\n", 100 * fast / read);
        }
    }
    return 0;
}
