#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <functional>

// Runs the event loop until `condition` holds or `timeoutMs` real milliseconds passed;
// returns whether it held.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 3000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Runs the event loop until `window` has nothing under way (its worker's reads and its
// pages' installs ended, and their results shown); false after `timeoutMs` real
// milliseconds. The window's device work runs on its worker: tests wait for it here.
template <typename Window>
bool waitForIdle(const Window& window, int timeoutMs = 20000) {
    return waitUntil([&window] { return !window.busy(); }, timeoutMs);
}
