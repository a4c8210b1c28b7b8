#pragma once

#include "app/FirmwarePages.h"
#include "device/UsbDeviceInfo.h"

#include <QMainWindow>
#include <QString>

class KVFirmwareWidget;
class QGroupBox;
class QLabel;
class QProgressBar;
class QStackedWidget;

// The program's one window. Once a second, and whenever a USB device comes or goes, it asks
// discovery which probes are attached and keeps the serial-number line, the raised firmware page
// and the status line in step with the answer; the pages report the progress of their installs
// through its progress slot.
class KorvaneConfigurer : public QMainWindow {
    Q_OBJECT

public:
    explicit KorvaneConfigurer(QWidget* parent = nullptr,
                               const FirmwarePages& pages = FirmwarePages::standard());

    // Sets the status line to `text` as a sentence; with `repaintNow` it is drawn at once.
    void setStatus(const QString& text, bool repaintNow);
    // Shows the bold caption followed by `serial` on the serial-number line.
    void showSerialNumber(const QString& serial);

    // While false, poll() does nothing (the pages clear it during an install).
    bool pollingEnabled = true;
    // False makes the next poll raise the page again and have it re-read the probe.
    bool deviceInfoCurrent = true;

public Q_SLOTS:
    void progress(int step, int steps, const char* taskdesc, const char* units);

protected Q_SLOTS:
    void poll();

private:
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
};

// The one main window, set by start-up and never reset; the pages reach the status line
// and the polling flags through it.
extern KorvaneConfigurer* mainWindow;
