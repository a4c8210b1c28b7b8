#include "app/Clock.h"

#include <QTimer>

#include <algorithm>
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

void afterMs(int milliseconds, QObject* context, std::function<void()> work) {
    if (projectClock().passesAtOnce()) {
        // The time passes when the work is due, not before: what happens meanwhile (other
        // events of the loop) happens first.
        QTimer::singleShot(0, context, [milliseconds, work = std::move(work)] {
            projectClock().sleepMs(milliseconds);
            work();
        });
        return;
    }
    QTimer::singleShot(std::max(0, milliseconds), context, std::move(work));
}
