#pragma once

#include "device/UsbDeviceInfo.h"
#include "probe/InstallPlan.h"
#include "probe/InstalledFirmware.h"

#include <QObject>

#include <memory>
#include <optional>

struct ImageIdentity;

// What a front end needs of a probe, for each generation alike: read what is installed,
// check an image against the probe, plan its install (the steps the install then runs)
// and follow the probe until it runs again. The window's pages and kvtool-cli format what
// it returns and relay its progress; neither opens a link of its own. Every failure is an
// HException with the system's message.
class ProbeEngine : public QObject {
    Q_OBJECT

public:
    // The engine of a probe generation (2 or 3); null for none we know.
    static std::unique_ptr<ProbeEngine> forGeneration(std::optional<int> generation);

    // What `probe` has installed, read through a link of its own; nothing else is sent.
    virtual InstalledFirmware readInstalled(const UsbDeviceInfo& probe) = 0;
    // Refuses what the install would refuse only once under way, before anything is sent.
    virtual void check(const UsbDeviceInfo& probe, const ImageIdentity& image) = 0;
    // The install of `image` on `probe`, as it will run. The plan uses this engine, which
    // must outlive it.
    virtual InstallPlan plan(const UsbDeviceInfo& probe, const ImageIdentity& image) = 0;
    // After a successful install: what `probe` runs once it is back (a generation-2 probe
    // restarts into its new application first).
    virtual InstalledFirmware awaitReturn(const UsbDeviceInfo& probe) = 0;

Q_SIGNALS:
    // The install's phases: (0, total, text, units) starts one, (done, -1, null, null)
    // moves it on, and it ends when done reaches the total.
    void progress(int step, int steps, const char* taskdesc, const char* units);

protected:
    explicit ProbeEngine(QObject* parent = nullptr) : QObject(parent) {}
};
