#include "app/KorvaneConfigurer.h"
#include "app/ColumnBox.h"

#include "app/HException.h"
#include "app/ProbeWorker.h"
#include "app/Sentence.h"
#include "device/UsbDiscovery.h"
#include "device/UsbHotplugMonitor.h"
#include "gen3/KVFirmwareWidget.h"
#include "probe/ProbeKind.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

KorvaneConfigurer* mainWindow = nullptr;

namespace {

constexpr int POLL_INTERVAL_MS = 1000;
// The size the window opens with (the generation-2 page whole, its folder line and a
// newer image's line included); the user may make it larger, or smaller down to the
// minimum, which fits a 1024x768 screen at a desktop scale of 2 (512x384 logical pixels,
// less a title bar and a panel): what the page does not fit then scrolls, while the
// serial number, the status line and the bar stay in view.
constexpr int WINDOW_WIDTH = 400;
constexpr int WINDOW_HEIGHT = 480;
constexpr int MINIMUM_WIDTH = 360;
constexpr int MINIMUM_HEIGHT = 300;
// Room left above the window for its title bar, which is not known before it is shown.
constexpr int TITLE_BAR_ALLOWANCE = 40;

}  // namespace

KorvaneConfigurer::KorvaneConfigurer(QWidget* parent, const FirmwarePages& pages)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("korvane-configurer"));
    setWindowTitle(QStringLiteral("Brenmoor Korvane Configurer"));
    worker = new ProbeWorker(this);
    connect(worker, &ProbeWorker::readDone, this, &KorvaneConfigurer::readDone);

    auto* vbox = new QWidget(this);
    auto* column = new QVBoxLayout(vbox);
    column->setContentsMargins(5, 5, 5, 5);
    column->setSpacing(5);

    hardwareBox = columnBox(QStringLiteral("Hardware"), vbox);
    hardwareBox->setObjectName(QStringLiteral("hardwareBox"));
    column->addWidget(hardwareBox);
    serialLabel = new QLabel(hardwareBox);
    serialLabel->setObjectName(QStringLiteral("serialLabel"));
    serialLabel->setTextFormat(Qt::RichText);
    serialLabel->setToolTip(QStringLiteral("The serial number of the currently connected Korvane"));
    serialLabel->setAccessibleName(QStringLiteral("Serial number"));
    serialLabel->setAccessibleDescription(serialLabel->toolTip());
    hardwareBox->layout()->addWidget(serialLabel);

    firmwareBox = columnBox(QStringLiteral("Firmware"), vbox);
    firmwareBox->setObjectName(QStringLiteral("firmwareBox"));
    column->addWidget(firmwareBox);
    // The page scrolls when the window is made smaller than it.
    auto* pageArea = new QScrollArea(firmwareBox);
    pageArea->setObjectName(QStringLiteral("pageArea"));
    pageArea->setFrameShape(QFrame::NoFrame);
    pageArea->setWidgetResizable(true);
    pageArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Not a stop of its own: Tab goes to the page's controls, and the area scrolls to the
    // one focused.
    pageArea->setFocusPolicy(Qt::NoFocus);
    firmwareBox->layout()->addWidget(pageArea);
    pageStack = new QStackedWidget(pageArea);
    pageStack->setObjectName(QStringLiteral("pageStack"));
    pageArea->setWidget(pageStack);

    blankPage = new QWidget(pageStack);
    blankPage->setObjectName(QStringLiteral("blankPage"));
    pageStack->addWidget(blankPage);
    generation2Page = addPage(pages.generation2);
    generation3Page = addPage(pages.generation3);

    auto* statusBox = columnBox(QStringLiteral("Status"), vbox);
    column->addWidget(statusBox);
    statusLabel = new QLabel(statusBox);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setTextFormat(Qt::PlainText);
    statusLabel->setWordWrap(true);  // the longest status texts are wider than the window
    statusLabel->setAccessibleName(QStringLiteral("Status"));
    statusLabel->setAccessibleDescription(
        QStringLiteral("What the window or the install under way is doing"));
    statusBox->layout()->addWidget(statusLabel);
    progressBar = new QProgressBar(statusBox);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setTextVisible(false);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setAccessibleName(QStringLiteral("Install progress"));
    progressBar->setAccessibleDescription(
        QStringLiteral("How far the phase of the install under way has got"));
    statusBox->layout()->addWidget(progressBar);

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &KorvaneConfigurer::poll);
    timer->start(POLL_INTERVAL_MS);
    // A probe plugged in or pulled out is seen at once, not at the next tick; the timer
    // stays for systems whose kernel events do not reach us.
    auto* hotplug = new UsbHotplugMonitor(this);
    connect(hotplug, &UsbHotplugMonitor::devicesChanged, this, &KorvaneConfigurer::poll);

    poll();

    setCentralWidget(vbox);
    setMinimumSize(MINIMUM_WIDTH, MINIMUM_HEIGHT);
    // On a small screen, or one at a large scale, the window opens no larger than the
    // screen has room for, so that the status line and the bar are on it. (Its layout is
    // not asked for its size here: that would lay out every page before the window shows.)
    const QRect room = screen()->availableGeometry();
    resize(std::clamp(room.width(), MINIMUM_WIDTH, WINDOW_WIDTH),
           std::clamp(room.height() - TITLE_BAR_ALLOWANCE, MINIMUM_HEIGHT, WINDOW_HEIGHT));
}

KVFirmwareWidget* KorvaneConfigurer::addPage(const FirmwarePages::Factory& factory) {
    KVFirmwareWidget* page = factory ? factory(pageStack) : nullptr;
    if (page != nullptr) {
        page->setWorker(worker);
        connect(page, &KVFirmwareWidget::progress, this, &KorvaneConfigurer::progress);
        connect(page, &KVFirmwareWidget::installEnded, this, &KorvaneConfigurer::installEnded);
        pageStack->addWidget(page);
    }
    return page;
}

KVFirmwareWidget* KorvaneConfigurer::pageForProductId(quint16 productId) const {
    // A probe left in its bootloader is of generation 2, and gets the page that can
    // install an application.
    const std::optional<int> generation = ProbeKind::of(productId).generation;
    return generation == 2 ? generation2Page : generation == 3 ? generation3Page : nullptr;
}

void KorvaneConfigurer::showWithoutPage(const QString& status, const QString& serial,
                                        bool probeFound) {
    setStatus(status, false);
    showSerialNumber(serial);
    hardwareBox->setEnabled(probeFound);
    firmwareBox->setEnabled(false);
    lastSerialNumber.clear();
    shownProbe = UsbDeviceInfo();
    pageStack->setCurrentWidget(blankPage);
    pendingRead.reset();  // whatever it reads now is of a probe no longer shown
}

void KorvaneConfigurer::poll() {
    if (!pollingEnabled) {
        return;
    }
    QString serial;
    try {
        const UsbDeviceList probes = attachedProbes();
        if (probes.size() != 1) {
            showWithoutPage(
                probes.isEmpty()
                    ? QStringLiteral(
                          "No devices connected, attach the Korvane you wish to configure.")
                    : QStringLiteral("Multiple devices connected, attach only one Korvane. Or "
                                     "install on one of several with kvtool-cli --serial "
                                     "('kvtool-cli list' shows their serial numbers)."),
                QString(), false);
            return;
        }
        const UsbDeviceInfo& probe = probes.first();
        serial = probe.serialNumber();
        KVFirmwareWidget* page = pageForProductId(probe.productId);
        if (page == nullptr) {
            // A probe this program has no page for: nothing to read or install.
            showWithoutPage(QStringLiteral("Unsupported Korvane model (product id 0x%1)")
                                .arg(probe.productId, 4, 16, QLatin1Char('0')),
                            serial, true);
            return;
        }
        // A probe that restarted between its application and its bootloader keeps its
        // serial number but runs something else, and one plugged in again keeps both but
        // has a new address: each counts as a new probe.
        deviceInfoCurrent = deviceInfoCurrent && serial == lastSerialNumber && probe == shownProbe;
        if (!deviceInfoCurrent) {
            // One read at a time, on the worker: while one is under way (it may hang until
            // its time-out) the window waits for its result, it never queues another.
            if (worker->reading()) {
                return;
            }
            // The flag is set before the read and the serial stored only after it
            // succeeded, so a read that fails for a new probe is tried again next time.
            deviceInfoCurrent = true;
            pendingPage = page;
            pendingRead = worker->read(probe, page->firmwareReader(), !isVisible());
            return;
        }
        firmwareBox->setEnabled(true);
        setStatus(QStringLiteral("Device ready."), false);
        hardwareBox->setEnabled(true);
    } catch (const HException& error) {
        setStatus(messageOf(error), false);
        showSerialNumber(serial);
        hardwareBox->setEnabled(true);
        firmwareBox->setEnabled(false);
    }
}

void KorvaneConfigurer::readDone(quint64 request, const UsbDeviceInfo& probe,
                                 const std::optional<InstalledFirmware>& firmware,
                                 const QString& error, bool denied) {
    if (request != pendingRead || !pollingEnabled) {
        // Of a probe no longer shown, or overtaken by an install. A probe that came
        // meanwhile is read now rather than at the next tick.
        QTimer::singleShot(0, this, &KorvaneConfigurer::poll);
        return;
    }
    pendingRead.reset();
    pageStack->setCurrentWidget(pendingPage);
    const QString serial = probe.serialNumber();
    if (!firmware) {
        setStatus(denied ? error + QStringLiteral(
                                       ": this user may not open the Korvane; install the udev "
                                       "rule 60-kvtool.rules (see 'kvtool-cli doctor')")
                         : error,
                  false);
        showSerialNumber(serial);
        hardwareBox->setEnabled(true);
        firmwareBox->setEnabled(false);
        return;
    }
    pendingPage->showInstalledFirmware(probe, *firmware);
    pendingPage->lookForNewerFirmware(probe, *firmware);
    lastSerialNumber = serial;
    shownProbe = probe;
    showSerialNumber(serial);
    firmwareBox->setEnabled(true);
    setStatus(QStringLiteral("Device ready."), false);
    hardwareBox->setEnabled(true);
}

bool KorvaneConfigurer::installing() const {
    return worker->installing() || std::ranges::any_of(pageStack->findChildren<KVFirmwareWidget*>(),
                                                       &KVFirmwareWidget::installing);
}

bool KorvaneConfigurer::busy() const {
    return installing() || worker->busy();
}

void KorvaneConfigurer::closeEvent(QCloseEvent* event) {
    if (!installing()) {
        event->accept();
        return;
    }
    event->ignore();
    if (closeQuestion != nullptr) {
        closeQuestion->raise();
        closeQuestion->activateWindow();
        return;
    }
    // Window-modal and not waited for: the install and the window go on meanwhile.
    closeQuestion = new QMessageBox(QMessageBox::Warning, QStringLiteral("Install Under Way"),
                                    QStringLiteral("A firmware install is under way: do not "
                                                   "remove the Korvane until it has ended."),
                                    QMessageBox::NoButton, this);
    closeQuestion->setInformativeText(
        QStringLiteral("The window can close by itself once the install has ended."));
    QPushButton* closeLater =
        closeQuestion->addButton(QStringLiteral("&Close When Finished"), QMessageBox::AcceptRole);
    QPushButton* keepOpen =
        closeQuestion->addButton(QStringLiteral("&Keep Open"), QMessageBox::RejectRole);
    closeQuestion->setDefaultButton(keepOpen);
    closeQuestion->setEscapeButton(keepOpen);
    closeQuestion->setAttribute(Qt::WA_DeleteOnClose);
    connect(closeQuestion, &QMessageBox::finished, this, [this, closeLater](int) {
        closeWhenDone = closeQuestion->clickedButton() == closeLater;
        closeQuestion = nullptr;
        if (closeWhenDone) {
            setStatus(QStringLiteral("kvtool closes once the install has ended, do not remove "
                                     "the Korvane"),
                      true);
            if (!installing()) {
                close();
            }
        }
    });
    closeQuestion->open();
}

void KorvaneConfigurer::installEnded() {
    if (closeQuestion != nullptr) {
        // The question is moot: the install is over.
        closeQuestion->close();
    }
    if (closeWhenDone) {
        close();
    }
}

void KorvaneConfigurer::setStatus(const QString& text, bool repaintNow) {
    statusLabel->setText(asSentence(text));
    if (repaintNow) {
        statusLabel->repaint();
    }
}

void KorvaneConfigurer::showSerialNumber(const QString& serial) {
    // The serial number comes from the device: shown as text, never as markup.
    serialLabel->setText(QStringLiteral("<b>Serial Number:</b> ") + serial.toHtmlEscaped());
}

void KorvaneConfigurer::resetProgress() {
    progressBar->setValue(0);
}

void KorvaneConfigurer::progress(int step, int steps, const char* taskdesc, const char* units) {
    Q_UNUSED(units);
    if (taskdesc != nullptr) {
        setStatus(QString::fromLatin1(taskdesc), true);
    }
    if (steps != -1) {
        progressBar->setMaximum(steps);
    }
    progressBar->setValue(step);
    if (progressBar->maximum() == step) {
        progressBar->setValue(0);
        setStatus(QString(), true);
    }
}
