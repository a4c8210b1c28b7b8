#pragma once

#include "device/UsbDeviceInfo.h"

#include <QString>

// One probe, one installer on this host: an advisory lock (flock) on a file named after the
// probe's physical port, taken for a whole install by the install session that drives the
// probe, in whichever process runs it (kvtool-cli, the session process of a kvtool-cli that
// installs on several probes, the window). The port stays when a generation-2 probe
// restarts into its bootloader and back, so the lock covers the whole of it. The file holds
// the holder's process id, so that a second installer can say who has the probe.
//
// The files live in KVTOOL_LOCK_DIR, else /run/lock, where every local user may create
// files; they are made readable and writable by everyone, so that users take turns on one
// probe, and never removed (a removed file would let two processes lock two files of one
// name). Where no lock file can be had (no such directory, something there that is not a
// regular file) the install goes on without one: the lock keeps two installers apart, it
// is no reason of its own to refuse an install.
class ProbeLock {
public:
    // Tries once to take the lock of `probe`; never waits.
    explicit ProbeLock(const UsbDeviceInfo& probe);
    // Releases it (and clears the process id from the file).
    ~ProbeLock();
    ProbeLock(const ProbeLock&) = delete;
    ProbeLock& operator=(const ProbeLock&) = delete;

    // Whether another process holds the probe's lock.
    bool heldElsewhere() const { return busy; }
    // Whether this object holds it.
    bool held() const { return fd >= 0; }
    // "probe K2000001 is in use by PID 1234 (kvtool-cli)", when held elsewhere.
    QString inUseMessage() const { return message; }
    // Why no lock could be taken although the probe is free (empty otherwise).
    QString problem() const { return trouble; }

    // The directory of the lock files.
    static QString directory();
    // The lock file of `probe`.
    static QString filePath(const UsbDeviceInfo& probe);

private:
    int fd = -1;
    bool busy = false;
    QString message;
    QString trouble;
};
