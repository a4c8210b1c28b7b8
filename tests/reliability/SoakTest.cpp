// The soak: installs one after another against emulated probes of both generations, each
// with a fault of a random kind at a random frame (or none), checking after each the
// invariants of the sweeps (the expected message shown, the page ready again, polling
// running, the pipes closed, a clean install after a re-plug showing the new firmware),
// and that the process's memory does not grow. A generation's window, bus and probes are
// made for a round of installs and torn down after it.
//
// KVTOOL_SOAK_SECONDS (default 3) sets how long it runs, KVTOOL_SOAK_SEED (default
// 20261207) the random choices; both are printed, with the figures. scripts/reliability
// runs it for long.
#include "Gen2Rig.h"
#include "Gen3Rig.h"

#include <QElapsedTimer>
#include <QFile>

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVTOOL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KVTOOL_ASAN 1
#endif

#ifdef KVTOOL_ASAN
#include <sanitizer/allocator_interface.h>
#else
#include <malloc.h>
#endif

#ifdef KVTOOL_ASAN
// Freed memory waits in AddressSanitizer's quarantine (256 MiB by default) before it is
// used again, which would look like growth; a small quarantine keeps the resident size
// meaningful. Options given in ASAN_OPTIONS still win.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=8:thread_local_quarantine_size_kb=64";
}
#endif

namespace {

constexpr quint32 DEFAULT_SEED = 20261207;
constexpr int DEFAULT_SECONDS = 3;
constexpr int MAX_ROUND = 6;  // installs with a fault per round
// The first part of the run warms up (font caches, the toolkit's first windows, the
// allocator's pools) before the resident size is taken as the baseline; the warm-up lasts
// until a round of each generation has run, however slow the machine, since each
// generation's first window fills caches of its own.
constexpr double WARM_UP_SHARE = 0.3;
// What the resident size may grow by: a little for caches of the toolkit; under
// AddressSanitizer also its quarantine (8 MiB here) and allocator pools, which fill over
// minutes. The allocator's count of live bytes shows growth without either.
#ifdef KVTOOL_ASAN
constexpr qint64 RESIDENT_TOLERANCE_KIB = 16 * 1024;
#else
constexpr qint64 RESIDENT_TOLERANCE_KIB = 4 * 1024;
#endif
constexpr qint64 HEAP_TOLERANCE_KIB = 512;

qint64 residentKib() {
#ifndef KVTOOL_ASAN
    // Free memory the allocator still holds would count as resident (how much depends on
    // its adaptive thresholds and on the timing of the last frees): hand it back first.
    malloc_trim(0);
#endif
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * qint64(sysconf(_SC_PAGESIZE) / 1024);
}

// Bytes the program holds allocated now (the allocator's own count, without what it keeps
// for reuse).
qint64 liveHeapKib() {
#ifdef KVTOOL_ASAN
    return qint64(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    const struct mallinfo2 info = mallinfo2();
    return qint64((info.uordblks + info.hblkhd) / 1024);  // in the heap and in mappings
#endif
}

int environmentNumber(const char* name, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

}  // namespace

TEST(Soak, RandomFaultsKeepEveryInvariantAndMemoryFlat) {
#ifndef KVTOOL_ASAN
    // The allocator would open a further arena whenever more threads than before allocate
    // at once (on a loaded machine, a window's worker still ending while the next starts),
    // and keep megabytes of it resident: one arena makes the resident size show growth
    // and nothing else.
    mallopt(M_ARENA_MAX, 1);
#endif
    const int seconds = environmentNumber("KVTOOL_SOAK_SECONDS", DEFAULT_SECONDS);
    const auto seed = quint32(environmentNumber("KVTOOL_SOAK_SEED", int(DEFAULT_SEED)));
    std::printf("[  SOAK    ] seed %u, %d s\n", seed, seconds);
    std::mt19937 random(seed);

    QElapsedTimer elapsed;
    elapsed.start();
    const auto warmUpMs = qint64(seconds * 1000.0 * WARM_UP_SHARE);
    qint64 baselineKib = -1;
    qint64 baselineHeapKib = -1;
    int rounds = 0;
    int installs = 0;
    int faults = 0;
    int byKind[3] = {0, 0, 0};
    bool generationSeen[2] = {false, false};
    // A slow machine still measures: the run goes on past its time until a few rounds have
    // run after the baseline.
    constexpr int MIN_MEASURED_ROUNDS = 2;
    int measuredRounds = 0;
    while ((elapsed.elapsed() < qint64(seconds) * 1000 || measuredRounds < MIN_MEASURED_ROUNDS) &&
           !::testing::Test::HasFailure()) {
        std::unique_ptr<InstallRig> rig;
        const bool third = random() % 2 == 0;
        if (third) {
            rig = std::make_unique<Gen3Rig>();
        } else {
            rig = std::make_unique<Gen2Rig>();
        }
        generationSeen[int(third)] = true;
        const int frames = rig->frameCount();
        const int points = 1 + int(random() % MAX_ROUND);
        for (int n = 0; n < points && !::testing::Test::HasFailure(); ++n) {
            // One install in four without a fault.
            const int frame = random() % 4 == 0 ? -1 : int(random() % unsigned(frames));
            const auto fault = FrameFault(random() % 3);
            SCOPED_TRACE(::testing::Message() << "round " << rounds << ", frame " << frame << ", "
                                              << frameFaultName(fault));
            rig->runPoint(frame, fault);
            if (frame >= 0) {
                ++byKind[int(fault)];
            }
        }
        installs += rig->installs;
        faults += rig->faultsInjected;
        ++rounds;
        rig.reset();
        if (baselineKib >= 0) {
            ++measuredRounds;
        } else if (elapsed.elapsed() >= warmUpMs && generationSeen[0] && generationSeen[1]) {
            baselineKib = residentKib();
            baselineHeapKib = liveHeapKib();
        }
    }
    const qint64 endKib = residentKib();
    const qint64 endHeapKib = liveHeapKib();
    std::printf(
        "[  SOAK    ] %d rounds, %d installs, %d faults injected (%d unplugs, %d "
        "time-outs, %d garbled frames)\n",
        rounds, installs, faults, byKind[0], byKind[1], byKind[2]);
    std::printf(
        "[  SOAK    ] after warm-up and at the end: resident %lld and %lld KiB (%+lld), "
        "heap %lld and %lld KiB (%+lld)\n",
        static_cast<long long>(baselineKib), static_cast<long long>(endKib),
        static_cast<long long>(endKib - baselineKib), static_cast<long long>(baselineHeapKib),
        static_cast<long long>(endHeapKib), static_cast<long long>(endHeapKib - baselineHeapKib));
    RecordProperty("installs", installs);
    RecordProperty("faults", faults);
    RecordProperty("residentGrowthKiB", int(endKib - baselineKib));
    RecordProperty("heapGrowthKiB", int(endHeapKib - baselineHeapKib));
    EXPECT_GT(installs, 0);
    ASSERT_GE(baselineKib, 0);
    EXPECT_LE(endKib - baselineKib, RESIDENT_TOLERANCE_KIB);
    EXPECT_LE(endHeapKib - baselineHeapKib, HEAP_TOLERANCE_KIB);
}
