#include "app/Clock.h"

#include <chrono>
#include <thread>

namespace {

SteadyClock steadyClock;
std::atomic<Clock*> currentClock{&steadyClock};

}  // namespace

Clock::~Clock() = default;

quint32 SteadyClock::tickMs() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<quint32>(static_cast<quint64>(ms));
}

void SteadyClock::sleepMs(int milliseconds) {
    if (milliseconds > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

void VirtualClock::sleepMs(int milliseconds) {
    ++sleeps;
    if (milliseconds > 0) {
        now += static_cast<quint32>(milliseconds);
        slept += static_cast<quint64>(milliseconds);
    }
}

Clock& projectClock() {
    return *currentClock.load();
}

ScopedClock::ScopedClock(Clock& clock) : previous(currentClock.exchange(&clock)) {}

ScopedClock::~ScopedClock() {
    currentClock.store(previous);
}

void sleepMs(int milliseconds) {
    projectClock().sleepMs(milliseconds);
}

quint32 tickCountMs() {
    return projectClock().tickMs();
}
