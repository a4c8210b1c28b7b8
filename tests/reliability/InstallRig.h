#pragma once

// Installs through the real main window and its real pages (offscreen platform, virtual
// clock) on an emulated probe whose frames can be faulted one at a time, and checks after
// every install what the user is left with. A rig per generation derives from it.
#include "FaultingFunction.h"
#include "MessageBoxWatcher.h"

#include "app/Clock.h"
#include "app/KorvaneConfigurer.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/FrameLog.h"

#include <QList>
#include <QPushButton>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <ostream>

// Texts in failure messages as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

// How an install is expected to end: installed, or with this message in the "Error" box.
struct Outcome {
    bool installed = false;
    QString message;

    static Outcome success() { return {true, QString()}; }
    static Outcome failure(const QString& message) { return {false, message}; }
    friend bool operator==(const Outcome&, const Outcome&) = default;
    friend void PrintTo(const Outcome& outcome, std::ostream* os) {
        *os << (outcome.installed ? std::string("installed")
                                  : "\"" + outcome.message.toStdString() + "\"");
    }
};

class InstallRig {
public:
    static constexpr QLatin1String NO_DEVICES{
        "No devices connected, attach the Korvane you wish to configure."};
    static constexpr QLatin1String READY{"Device ready."};

    InstallRig();
    virtual ~InstallRig();
    InstallRig(const InstallRig&) = delete;
    InstallRig& operator=(const InstallRig&) = delete;

    // The frames of a clean install on a fresh probe, in order (recorded once).
    const QList<UsbFrame>& cleanFrames();
    int frameCount() { return int(cleanFrames().size()); }
    // What an install with `fault` at frame `index` of the clean install ends in.
    virtual Outcome expected(int index, FrameFault fault) = 0;

    // One point of a sweep, one round of the soak: a fresh probe, an install with `fault`
    // at frame `frame` (none for a negative frame), the checks after it, a re-plug, a
    // clean install and its checks. Checks fail through GoogleTest.
    void runPoint(int frame, FrameFault fault);

    int installs = 0;        // installs clicked
    int faultsInjected = 0;  // faults that hit their frame

protected:
    // An emulated probe and the faulting function in front of its firmware.
    struct Probe {
        std::shared_ptr<EmulatedDevice> device;
        FaultingFunction* function = nullptr;
    };

    // A fresh probe, as shipped.
    virtual Probe makeProbe() = 0;
    // The probe unplugged and plugged in again: a device (a new bus address) whose
    // firmware starts afresh from what `probe` keeps in its memory.
    virtual Probe powerCycled() = 0;
    virtual QPushButton* installButton() const = 0;
    // Once the probe was polled: the page is raised and shows it.
    virtual void expectShown() = 0;
    // Sets up the page for the next install (the clean one, or the one with a fault).
    virtual void prepareInstall(bool clean) = 0;
    // Right after an install that succeeded, before any poll.
    virtual void expectSuccessShown() = 0;
    // After the clean install: the probe, read again, reports the new firmware.
    virtual void expectNewFirmware() = 0;

    // The window with the real pages; call once the files they read are in place.
    void createWindow();
    // Replaces the probe on the bus.
    void attach(const Probe& next);
    void poll();
    QString status() const;
    QWidget* raisedPage() const;
    QString serialLine() const;

    // The status line when the last install ended (before any poll could change it).
    QString statusAtEnd;
    VirtualClock clock{100000};
    ScopedClock scopedClock{clock};
    EmulatedUsbBus* bus;
    ScopedUsbBackend backend;
    QTemporaryDir files;
    std::unique_ptr<KorvaneConfigurer> window;
    std::shared_ptr<EmulatedDevice> probe;
    FaultingFunction* faulting = nullptr;

private:
    void install(int frame, FrameFault fault);
    void expectAfterInstall(const Outcome& outcome, qsizetype boxesBefore);

    QString previousDirectory;
    std::unique_ptr<MessageBoxWatcher> watcher;
    QList<UsbFrame> clean;
    bool cleanRecorded = false;
};
