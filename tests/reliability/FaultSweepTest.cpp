// Fault sweeps: a clean install is counted frame by frame, then for every frame k an
// install meets a fault at frame k (the probe unplugged, a transfer that never completes,
// or the frame's bytes garbled), through the real main window and page on the offscreen
// platform, on virtual time. After each: the expected message in the page's "Error" box
// (or success where the protocol absorbs the fault), the install button enabled, polling
// running, the probe's pipes closed; then the probe is unplugged and plugged in again and
// a clean install succeeds and shows the new firmware. Leaks are LeakSanitizer's to find
// (asan preset).
#include "Gen2Rig.h"
#include "Gen3Rig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string describe(const UsbFrame& frame) {
    if (frame.isControl()) {
        return "control request " + std::to_string(frame.setup.request) + " value " +
               std::to_string(frame.setup.value);
    }
    return std::string(frame.isBulkOut() ? "bulk OUT " : "bulk IN ") +
           std::to_string(frame.bytes.size()) + " bytes " +
           frame.bytes.left(6).toHex(' ').toStdString();
}

template <typename Rig>
class FaultSweep : public ::testing::Test {
protected:
    void sweep(FrameFault fault) {
        Rig rig;
        const int frames = rig.frameCount();
        ASSERT_GT(frames, 0);
        int points = 0;
        for (int k = 0; k < frames; ++k) {
            SCOPED_TRACE("frame " + std::to_string(k) + " of " + std::to_string(frames) + ": " +
                         describe(rig.cleanFrames().at(k)) + ", " + frameFaultName(fault));
            rig.runPoint(k, fault);
            if (HasFailure()) {
                break;  // one broken point says enough; the rest would repeat it
            }
            ++points;
        }
        if (!HasFailure()) {
            EXPECT_EQ(rig.faultsInjected, points);
        }
        std::printf("[  SWEEP   ] %s, %s at each of %d frames: %d points, %d installs\n", Rig::NAME,
                    frameFaultName(fault), frames, points, rig.installs);
        RecordProperty("points", points);
    }
};

struct RigNames {
    template <typename Rig>
    static std::string GetName(int /*index*/) {
        return Rig::NAME;
    }
};

using Rigs = ::testing::Types<Gen3Rig, Gen2Rig>;
TYPED_TEST_SUITE(FaultSweep, Rigs, RigNames);

TYPED_TEST(FaultSweep, UnplugAtEveryFrame) {
    this->sweep(FrameFault::Unplug);
}

TYPED_TEST(FaultSweep, TimeOutAtEveryFrame) {
    this->sweep(FrameFault::TimeOut);
}

TYPED_TEST(FaultSweep, GarbageAtEveryFrame) {
    this->sweep(FrameFault::Garbage);
}

}  // namespace
