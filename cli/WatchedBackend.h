#pragma once

#include "device/TracingUsbBackend.h"

#include <QString>

class Console;

// The process-wide USB backend (the emulated bus when KVTOOL_EMULATE says so, else the
// Linux one), watched by a TracingUsbBackend for the duration of one command: with
// `verbose` every transfer is told on standard error.
class WatchedBackend {
public:
    WatchedBackend(bool verbose, Console& console);
    // Taken down while the console and the clock still serve it: the emulated bus writes
    // its frame log now, and a pending trace line is told.
    ~WatchedBackend();
    WatchedBackend(const WatchedBackend&) = delete;
    WatchedBackend& operator=(const WatchedBackend&) = delete;

    QString lastUsbError() const { return watcher->lastUsbError(); }
    void flush() { watcher->flush(); }

private:
    TracingUsbBackend* watcher = nullptr;
};
