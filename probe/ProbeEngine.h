#pragma once

#include "device/UsbDeviceInfo.h"
#include "probe/InstallPlan.h"
#include "probe/InstalledFirmware.h"

#include <QObject>

struct ImageIdentity;

// What a front end needs of a probe, for each generation alike: read what is installed,
// check an image against the probe, plan its install (the steps the install then runs)
// and follow the probe until it runs again. An InstallSession strings these together; the
// window's pages and kvtool-cli format what it tells. Every failure is an HException with
// the system's message. Each generation's engine lives with that generation (gen2/,
// gen3/); engines/ProbeEngines.h makes the one a probe or an image needs.
class ProbeEngine : public QObject {
    Q_OBJECT

public:
    // The probe generation this engine serves (2 or 3).
    virtual int generation() const = 0;
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
    // Whether the probe restarts after an install, so that awaitReturn waits for it.
    virtual bool restartsAfterInstall() const = 0;
    // Whether a probe that reports `firmware` runs what `image` would install: the same
    // version (for generation 2 also the same variant).
    virtual bool runs(const InstalledFirmware& firmware, const ImageIdentity& image) const = 0;
    // Why this generation's install refuses `image`, a file that is no probe's image, in
    // the words it uses for it (the window says the same).
    virtual QString refusal(const ImageIdentity& image) const = 0;
    // What this generation's install says of an image file that cannot be opened.
    virtual QString cannotOpen(const QString& path) const = 0;

Q_SIGNALS:
    // The install's phases: (0, total, text, units) starts one, (done, -1, null, null)
    // moves it on, and it ends when done reaches the total.
    void progress(int step, int steps, const char* taskdesc, const char* units);

protected:
    explicit ProbeEngine(QObject* parent = nullptr) : QObject(parent) {}
};
