#pragma once

#include "device/UsbDeviceInfo.h"
#include "probe/ImageIdentity.h"
#include "probe/ProbeEngine.h"
#include "probe/SessionEvents.h"
#include "probe/UpdateChoice.h"

#include <memory>

// The whole install of one image on one probe, as every front end runs it: check the
// image against the probe, read what the probe has, plan, run the plan, wait for the probe
// to run again and read it. Nothing outside this object and the engines decides what an
// install does; front ends choose the probe and the image and format the events.
//
// A failing step ends the session with a typed failure (its kind, the system's message,
// the USB backend's reason) and what it left of the probe; nothing is thrown out of run().
class InstallSession : public SessionEvents {
    Q_OBJECT

public:
    struct Options {
        bool dryRun = false;
        // Leave a probe that runs what the image would install alone (UpToDate).
        bool skipIfRunning = false;
        // Read what the probe has before the install (the window's pages have just shown
        // it, and send nothing more than the install itself).
        bool readBefore = true;
    };

    InstallSession(std::unique_ptr<ProbeEngine> engine, const UsbDeviceInfo& probe,
                   std::shared_ptr<const ImageIdentity> image, Options options,
                   QObject* parent = nullptr);
    // An update: the image is chosen by `chooser` once the probe was read (which it always
    // is), and a probe that needs none of it ends up to date, sent nothing but that read.
    InstallSession(std::unique_ptr<ProbeEngine> engine, const UsbDeviceInfo& probe,
                   ImageChooser chooser, Options options, QObject* parent = nullptr);
    ~InstallSession() override;

    // Runs the session to its end on the calling thread; emits every event, finished last,
    // and returns the result finished carried.
    SessionResult run();

    const UsbDeviceInfo& probe() const { return device; }
    // The image installed (for an update null until it was chosen).
    const ImageIdentity* image() const { return identity.get(); }

Q_SIGNALS:
    // The engine's own progress reports, as the window's progress slot takes them.
    void progress(int step, int steps, const char* taskdesc, const char* units);

private:
    class Run;

    std::unique_ptr<ProbeEngine> engine;
    UsbDeviceInfo device;
    std::shared_ptr<const ImageIdentity> identity;
    ImageChooser chooser;
    Options options;
};
