#pragma once

#include "app/FirmwarePages.h"
#include "device/UsbDeviceInfo.h"
#include "probe/InstalledFirmware.h"

#include <QMainWindow>
#include <QString>

#include <optional>

class KVFirmwareWidget;
class ProbeWorker;
class QMessageBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QStackedWidget;

// The program's one window. Once a second, and whenever a USB device comes or goes, it asks
// discovery which probes are attached and keeps the serial-number line, the raised firmware page
// and the status line in step with the answer; the pages report the progress of their installs
// through its progress slot. What a probe has installed is read on the window's worker
// (ProbeWorker), never on this thread: the window stays live whatever a probe does, and a
// poll never waits for, or queues behind, a read that hangs. While an install runs the
// window does not close: it says why, and may close once the install has ended.
class KorvaneConfigurer : public QMainWindow {
    Q_OBJECT

public:
    explicit KorvaneConfigurer(QWidget* parent = nullptr,
                               const FirmwarePages& pages = FirmwarePages::standard());

    // Sets the status line to `text` as a sentence; with `repaintNow` it is drawn at once.
    void setStatus(const QString& text, bool repaintNow);
    // Shows the bold caption followed by `serial` on the serial-number line.
    void showSerialNumber(const QString& serial);
    // Empties the progress bar.
    void resetProgress();

    // The worker that carries every exchange with a probe, for the window and its pages.
    ProbeWorker* probeWorker() const { return worker; }
    // Whether a page's install runs.
    bool installing() const;
    // Whether anything is under way: an install, or a read of a probe.
    bool busy() const;

    // While false, poll() does nothing (the pages clear it during an install).
    bool pollingEnabled = true;
    // False makes the next poll raise the page again and have it re-read the probe.
    bool deviceInfoCurrent = true;

public Q_SLOTS:
    void progress(int step, int steps, const char* taskdesc, const char* units);

protected Q_SLOTS:
    void poll();

protected:
    // While an install runs the window stays: it says that an install is under way and
    // that the probe must not be removed, and lets the user choose to close once it ended.
    void closeEvent(QCloseEvent* event) override;

private:
    // What the worker read of the probe that the last poll asked for.
    void readDone(quint64 request, const UsbDeviceInfo& probe,
                  const std::optional<InstalledFirmware>& firmware, const QString& error,
                  bool denied);
    void installEnded();
    // Raises the blank page with `status` and `serial` (the hardware box enabled when a probe
    // was found) and forgets the probe the page showed, so that the next one is read afresh.
    void showWithoutPage(const QString& status, const QString& serial, bool probeFound);

    KVFirmwareWidget* addPage(const FirmwarePages::Factory& factory);
    KVFirmwareWidget* pageForProductId(quint16 productId) const;

    QLabel* statusLabel = nullptr;
    QProgressBar* progressBar = nullptr;
    QGroupBox* hardwareBox = nullptr;
    QLabel* serialLabel = nullptr;
    QGroupBox* firmwareBox = nullptr;
    QStackedWidget* pageStack = nullptr;
    QWidget* blankPage = nullptr;
    KVFirmwareWidget* generation2Page = nullptr;
    KVFirmwareWidget* generation3Page = nullptr;
    QString lastSerialNumber;
    // The whole record of the probe whose information the raised page shows (empty: none).
    // The same probe restarted into another mode has another product id, and plugged in
    // again between two polls another bus address: either way the page must read it again.
    UsbDeviceInfo shownProbe;

    ProbeWorker* worker = nullptr;
    // The read the last poll asked for, of which probe, for which page (none: nothing to
    // wait for; a result of any other read is out of date and dropped).
    std::optional<quint64> pendingRead;
    KVFirmwareWidget* pendingPage = nullptr;
    QMessageBox* closeQuestion = nullptr;
    bool closeWhenDone = false;
};

// The one main window, set by start-up and never reset; the pages reach the status line
// and the polling flags through it.
extern KorvaneConfigurer* mainWindow;
