#pragma once

#include <QtGlobal>

#include <atomic>
#include <functional>

class QObject;

// Every wait in kvtool goes through one clock: sleepMs() and the millisecond tick that the
// links compare with their time-outs. Production uses the steady clock and real sleeps;
// tests install a VirtualClock, which advances at once, so long waits cost no real time
// and time-out rules can be asserted exactly.
class Clock {
public:
    virtual ~Clock();
    // Milliseconds since an arbitrary start; wraps around like a 32-bit tick count.
    virtual quint32 tickMs() = 0;
    virtual void sleepMs(int milliseconds) = 0;
    // Whether waits pass at once (a virtual clock): then what is due after a while is due
    // at the next turn of the event loop.
    virtual bool passesAtOnce() const { return false; }
};

class SteadyClock : public Clock {
public:
    quint32 tickMs() override;
    void sleepMs(int milliseconds) override;
};

// Time that passes only when something sleeps on it. Safe to use from several threads.
class VirtualClock : public Clock {
public:
    explicit VirtualClock(quint32 startMs = 0) : now(startMs) {}
    quint32 tickMs() override { return now.load(); }
    void sleepMs(int milliseconds) override;
    bool passesAtOnce() const override { return true; }
    void advance(quint32 milliseconds) { now += milliseconds; }
    // Total time slept through sleepMs() and the number of such sleeps.
    quint64 totalSleptMs() const { return slept.load(); }
    int sleepCount() const { return sleeps.load(); }

private:
    std::atomic<quint32> now;
    std::atomic<quint64> slept{0};
    std::atomic<int> sleeps{0};
};

// The process-wide clock (the steady clock unless a test or the emulator replaced it).
Clock& projectClock();
// Makes `clock` the process-wide clock while this object lives.
class ScopedClock {
public:
    explicit ScopedClock(Clock& clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    Clock* previous;
};

// Blocks the calling thread (always the GUI thread in kvtool) for the given time.
void sleepMs(int milliseconds);
// The project clock's millisecond tick.
quint32 tickCountMs();
// Runs `work` on `context`'s thread once `milliseconds` have passed on the project clock,
// without blocking: a timer of the event loop (on a virtual clock, the time passes at once
// and `work` runs at the loop's next turn). Nothing runs if `context` is gone by then.
void afterMs(int milliseconds, QObject* context, std::function<void()> work);
