#include "gen3/KVFirmwareWidget.h"

#include "app/Clock.h"
#include "app/ErrorReporter.h"
#include "app/FirmwareDirectory.h"
#include "app/HException.h"
#include "app/KorvaneConfigurer.h"
#include "engines/FirmwareLibrary.h"
#include "engines/ProbeEngines.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>

namespace {

constexpr char INSTALLED_TEXT[] = "Firmware installed.";
// While a probe restarts into what it was given, so that nobody takes its absence from the
// bus for the end and pulls it.
constexpr char RESTARTING_TEXT[] =
    "The Korvane is restarting into its new firmware, do not remove it.";

}  // namespace

KVFirmwareWidget::KVFirmwareWidget(QWidget* parent) : QWidget(parent) {}

ProbeWorker::Reader KVFirmwareWidget::firmwareReader() const {
    return [](const UsbDeviceInfo& device) {
        const std::unique_ptr<ProbeEngine> engine = engineForProbe(device);
        if (!engine) {
            throw HException("Unsupported Korvane model");
        }
        return engine->readInstalled(device);
    };
}

QLabel* KVFirmwareWidget::newerFirmwareLabel() {
    if (newerLabel == nullptr) {
        newerLabel = new QLabel(this);
        newerLabel->setObjectName(QStringLiteral("newerFirmwareLabel"));
        newerLabel->setTextFormat(Qt::PlainText);
        newerLabel->setWordWrap(true);
        newerLabel->setAccessibleName(QStringLiteral("Newer firmware"));
        newerLabel->hide();
    }
    return newerLabel;
}

void KVFirmwareWidget::lookForNewerFirmware(const UsbDeviceInfo& device,
                                            const InstalledFirmware& firmware) {
    const QStringList folders = firmwareFolders();
    const QString key = QStringList{device.serialNumber(),
                                    device.devicePath(),
                                    QString::number(int(firmware.state)),
                                    firmware.versionText,
                                    QString::number(firmware.flags.value_or(0)),
                                    folders.join(u'\n')}
                            .join(u'\t');
    lookedFor = std::pair(device, firmware);
    if (key == newerKey) {
        return;
    }
    newerKey = key;
    newerFirmwareLabel()->hide();
    // The look reads files (the folders may be large): on the worker, never here.
    worker()->lookUp(
        [folders, firmware] {
            FirmwareLibrary library(folders);
            const UpdateChoice choice = library.updateFor(firmware);
            return choice.image && choice.relation == UpdateChoice::Relation::Newer
                       ? choice.image->versionText
                       : QString();
        },
        [self = QPointer<KVFirmwareWidget>(this), key](const QString& version) {
            // Only the answer to the last look counts, and only while its page is there.
            if (self == nullptr || self->newerKey != key) {
                return;
            }
            self->newerFirmwareLabel()->setText(QStringLiteral("Newer firmware available: ") +
                                                version);
            self->newerFirmwareLabel()->setVisible(!version.isEmpty());
        });
}

void KVFirmwareWidget::lookAgainForNewerFirmware() {
    if (lookedFor) {
        const auto [device, firmware] = *lookedFor;
        lookForNewerFirmware(device, firmware);
    }
}

void KVFirmwareWidget::setWorker(ProbeWorker* worker) {
    probeWorker = worker;
}

ProbeWorker* KVFirmwareWidget::worker() {
    if (probeWorker == nullptr) {
        probeWorker = new ProbeWorker(this);
    }
    return probeWorker;
}

void KVFirmwareWidget::setPollingEnabled(bool enabled) {
    if (mainWindow != nullptr) {
        mainWindow->pollingEnabled = enabled;
    }
}

void KVFirmwareWidget::setStatus(const QString& text) {
    if (mainWindow != nullptr) {
        mainWindow->setStatus(text, true);
    }
}

void KVFirmwareWidget::startInstall(QPushButton* button, const UsbDeviceInfo& device,
                                    std::shared_ptr<const ImageIdentity> image,
                                    ProbeWorker::EngineFactory makeEngine) {
    installButton = button;
    installDevice = device;
    installButton->setEnabled(false);
    setPollingEnabled(false);
    installRunning = true;
    SessionEvents* events = worker()->session();
    sessionConnections = {
        connect(events, &SessionEvents::phaseStarted, this,
                [this](InstallPhase, qint64 total, const QString& text, const QString& units) {
                    relayPhase(total, text, units);
                }),
        connect(events, &SessionEvents::progressed, this, &KVFirmwareWidget::relayProgress),
        connect(events, &SessionEvents::told, this, &KVFirmwareWidget::told),
        connect(events, &SessionEvents::finished, this, &KVFirmwareWidget::finished),
    };
    if (!worker()->install(device, std::move(image), std::move(makeEngine))) {
        // Only one install at a time: the window's pages share one worker.
        for (const QMetaObject::Connection& connection : std::exchange(sessionConnections, {})) {
            disconnect(connection);
        }
        showFailure(QStringLiteral("Another install is under way"));
        end();
    }
}

void KVFirmwareWidget::relayPhase(qint64 total, const QString& text, const QString& units) {
    // The progress signal carries its texts as pointers: kept here while the phase runs.
    phaseText = text.toLatin1();
    phaseUnits = units.toLatin1();
    phaseTotal = total;
    phaseStartPending = true;
}

void KVFirmwareWidget::relayProgress(qint64 done) {
    if (phaseStartPending) {
        phaseStartPending = false;
        Q_EMIT progress(int(done), int(phaseTotal), phaseText.constData(),
                        phaseUnits.isEmpty() ? nullptr : phaseUnits.constData());
        return;
    }
    Q_EMIT progress(int(done), -1, nullptr, nullptr);
}

void KVFirmwareWidget::told(SessionMessage message) {
    if (message != SessionMessage::AwaitingRestart) {
        return;
    }
    setStatus(QLatin1String(INSTALLED_TEXT));
    installedShown.start();
    installedShownMs = tickCountMs();
    afterMs(INSTALLED_PAUSE_MS, this, [this] {
        if (installRunning && installedShown.isValid()) {
            setStatus(QLatin1String(RESTARTING_TEXT));
            restartingShown = true;
        }
    });
}

void KVFirmwareWidget::finished(const SessionResult& result) {
    for (const QMetaObject::Connection& connection : std::exchange(sessionConnections, {})) {
        disconnect(connection);
    }
    if (!result.succeeded()) {
        installedShown.invalidate();
        if (result.failure.kind == FailureKind::NotReturned) {
            showFirmwareNotRead();
            newerKey.clear();
            lookedFor.reset();
            newerFirmwareLabel()->hide();
        }
        showFailure(result.failure.kind == FailureKind::PermissionDenied
                        ? result.failure.message +
                              QStringLiteral("\n\nThis user may not open the Korvane: install the "
                                             "udev rule 60-kvtool.rules (the package does), then "
                                             "unplug and plug in the Korvane again; 'kvtool-cli "
                                             "doctor' tells what stands in the way.")
                        : result.failure.message);
        // The bar where the failure left it is no use any more; the probe is read again.
        if (mainWindow != nullptr) {
            mainWindow->resetProgress();
        }
        end();
        return;
    }
    installSucceeded(result);
    // The success stays on screen for a moment before polling resumes: from when it was
    // first said, or, when the restart was shown meanwhile, from now.
    if (!installedShown.isValid() || restartingShown) {
        installedShown.start();
        installedShownMs = tickCountMs();
    }
    setStatus(QLatin1String(INSTALLED_TEXT));
    restartingShown = false;
    const qint64 shown = qint64(quint32(tickCountMs() - installedShownMs));
    installedShown.invalidate();
    afterMs(int(std::max<qint64>(0, INSTALLED_PAUSE_MS - shown)), this, [this] { end(); });
}

void KVFirmwareWidget::installSucceeded(const SessionResult& result) {
    if (result.after) {
        showInstalledFirmware(installDevice, *result.after);
        lookForNewerFirmware(installDevice, *result.after);
    }
}

void KVFirmwareWidget::showFailure(const QString& message) {
    reportFailure(this, message);
}

void KVFirmwareWidget::end() {
    if (installButton != nullptr) {
        installButton->setEnabled(true);
    }
    setPollingEnabled(true);
    // The next poll reads the probe afresh: what it runs now, installed or not.
    if (mainWindow != nullptr) {
        mainWindow->deviceInfoCurrent = false;
    }
    installRunning = false;
    Q_EMIT installEnded();
}
