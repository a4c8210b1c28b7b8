#pragma once

#include "device/UsbDeviceInfo.h"
#include "probe/ImageIdentity.h"
#include "probe/InstallSession.h"
#include "probe/ProbeEngine.h"
#include "probe/SessionEvents.h"

#include <QObject>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>

// The window's device work, on a thread of its own: every exchange with a probe (the
// poll's read of what is installed, every step of an install) runs there, one at a time,
// so that the window never waits on a probe: it stays drawn, answers the desktop, and
// takes no input it did not mean to. The window and its pages ask through this object,
// which lives on their thread, and are told the results as signals on their thread.
// Nothing of theirs is touched from the worker.
class ProbeWorker : public QObject {
    Q_OBJECT

public:
    // Reads what a probe has installed, on the worker (it must touch no widget).
    using Reader = std::function<InstalledFirmware(const UsbDeviceInfo&)>;
    // Makes the engine of an install, on the worker.
    using EngineFactory = std::function<std::unique_ptr<ProbeEngine>()>;

    explicit ProbeWorker(QObject* parent = nullptr);
    // Waits for the work under way (at most a link's time-out, for a read; the window does
    // not close while an install runs).
    ~ProbeWorker() override;
    ProbeWorker(const ProbeWorker&) = delete;
    ProbeWorker& operator=(const ProbeWorker&) = delete;

    // Reads `probe` with `reader`; readDone tells the outcome. Returns the request's number.
    // `once the loop runs`: the read starts only once this thread's event loop runs (so that
    // a window being built shows before its first read competes with it).
    quint64 read(const UsbDeviceInfo& probe, Reader reader, bool onceTheLoopRuns = false);
    // Installs `image` on `probe` through the engine `makeEngine` makes; the session's
    // events come through session(). Returns false (and does nothing) while an install
    // runs already.
    bool install(const UsbDeviceInfo& probe, std::shared_ptr<const ImageIdentity> image,
                 EngineFactory makeEngine);

    // Runs `work` on the worker, after what is queued there (so it never competes with an
    // exchange with a probe), then `done` with its result on this object's thread. For file
    // work that must not hold up the window, such as a look through the firmware folders;
    // a `work` that throws HException gives the empty text.
    void lookUp(std::function<QString()> work, std::function<void(const QString&)> done);

    bool reading() const { return readsInFlight > 0; }
    bool installing() const { return installRunning; }
    bool busy() const { return reading() || installing(); }

    // The events of the install under way, told on this object's thread.
    SessionEvents* session() { return &events; }

Q_SIGNALS:
    // `firmware` when the read succeeded; otherwise `error` (the system's message) and
    // whether the open was refused for lack of permission.
    void readDone(quint64 request, const UsbDeviceInfo& probe,
                  const std::optional<InstalledFirmware>& firmware, const QString& error,
                  bool denied);
    // A read or an install ended; busy() may have changed.
    void idle();

private:
    // Runs `work` on the worker thread.
    void post(std::function<void()> work);
    // Runs `work` on this object's thread (from the worker).
    void tell(std::function<void()> work);

    QThread thread;
    QObject* executor;  // lives on `thread`
    SessionEvents events;
    quint64 lastRequest = 0;
    int readsInFlight = 0;
    bool installRunning = false;
};
