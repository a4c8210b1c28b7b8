#pragma once

#include "app/ProbeWorker.h"
#include "device/UsbDeviceInfo.h"
#include "probe/SessionResult.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <utility>

class QLabel;
class QPushButton;
struct ImageIdentity;

// Base of the firmware pages that the main window stacks, one per probe generation. A page
// shows what a probe has installed and installs an image on it; the exchanges with the
// probe run on the window's worker (ProbeWorker), and the page is told their outcome, so it
// never waits on a probe. While an install runs, its button is disabled and the window's
// polling suspended; afterwards both are restored and the probe is read again.
class KVFirmwareWidget : public QWidget {
    Q_OBJECT

public:
    // How long the page's success message stays before polling resumes.
    static constexpr int INSTALLED_PAUSE_MS = 1000;

    explicit KVFirmwareWidget(QWidget* parent = nullptr);

    // How the window's worker reads what a probe shown on this page has installed (it runs
    // on the worker and touches no widget): by default, its generation's engine.
    virtual ProbeWorker::Reader firmwareReader() const;
    // Shows on the page what was read from `device`, and keeps `device` for an install.
    virtual void showInstalledFirmware(const UsbDeviceInfo& device,
                                       const InstalledFirmware& firmware) = 0;

    // Has the worker look through the firmware folders for an image newer than `firmware`
    // (of its variant, for generation 2) and shows "Newer firmware available: VERSION" when
    // there is one. Looks again only when the probe, what it runs or the folders changed.
    void lookForNewerFirmware(const UsbDeviceInfo& device, const InstalledFirmware& firmware);
    // The same for the probe last looked for, once the folders changed.
    void lookAgainForNewerFirmware();

    // The worker that carries the page's exchanges (the main window's; a page without a
    // window makes its own).
    void setWorker(ProbeWorker* worker);
    ProbeWorker* worker();
    // Whether an install of this page runs, from its click until the page is usable again.
    bool installing() const { return installRunning; }

Q_SIGNALS:
    // A task starts with (0, total, description, units), moves with (position, -1, null,
    // null) and ends when step equals the total.
    void progress(int step, int steps, const char* taskdesc, const char* units);
    // An install of this page ended (the page is usable again).
    void installEnded();

protected:
    // Starts the install of `image` on `device` through the engine `makeEngine` makes;
    // `button` (the page's install button) is disabled until it has ended.
    void startInstall(QPushButton* button, const UsbDeviceInfo& device,
                      std::shared_ptr<const ImageIdentity> image,
                      ProbeWorker::EngineFactory makeEngine);
    // What the page shows once an install ended well: by default what was read from the
    // probe after it.
    virtual void installSucceeded(const SessionResult& result);
    // What the page shows when the install went in but the probe could not be read after.
    virtual void showFirmwareNotRead() = 0;
    // The line the page places for a newer image in the firmware folders, hidden while
    // there is none.
    QLabel* newerFirmwareLabel();
    // The window's "Error" box for this page's failures.
    void showFailure(const QString& message);
    static void setPollingEnabled(bool enabled);
    static void setStatus(const QString& text);

private:
    void relayPhase(qint64 total, const QString& text, const QString& units);
    void relayProgress(qint64 done);
    void told(SessionMessage message);
    void finished(const SessionResult& result);
    void end();

    ProbeWorker* probeWorker = nullptr;
    QPushButton* installButton = nullptr;
    UsbDeviceInfo installDevice;
    bool installRunning = false;
    // The phase under way, as the progress signal's texts point to them.
    QByteArray phaseText;
    QByteArray phaseUnits;
    qint64 phaseTotal = 0;
    bool phaseStartPending = false;
    QElapsedTimer installedShown;  // valid while "Firmware installed." is on screen
    quint32 installedShownMs = 0;  // since when, on the project clock
    bool restartingShown = false;  // the restart's text took its place meanwhile
    QList<QMetaObject::Connection> sessionConnections;
    QLabel* newerLabel = nullptr;
    QString newerKey;  // what the last look was for
    std::optional<std::pair<UsbDeviceInfo, InstalledFirmware>> lookedFor;
};
