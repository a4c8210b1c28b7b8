#pragma once

#include <QDBusUnixFileDescriptor>
#include <QString>

#include <functional>

// Holds off sleep and shutdown while it lives: a logind inhibitor lock taken over the
// system bus (what "sleep:shutdown", who "kvtool", why "Installing probe firmware", mode
// "block"), released when this object goes. A machine that suspends or powers off in the
// middle of an install leaves the probe half-written. Where there is no system bus, no
// logind, or logind refuses, the install goes on without the lock; that is told once per
// process to the notice function, when one is set (kvtool-cli --verbose).
class SleepInhibitor {
public:
    // How long logind may take to answer before the install goes on without the lock.
    static constexpr int CALL_TIMEOUT_MS = 2000;

    SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    bool held() const { return lock.isValid(); }

    // Where to say, once, that the lock could not be taken (null: nowhere).
    static void setNotice(std::function<void(const QString&)> notice);

private:
    QDBusUnixFileDescriptor lock;  // the lock is held while logind's descriptor is open
};
