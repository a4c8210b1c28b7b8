#include "cli/ProbeJob.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <unistd.h>

namespace {

// The phase that starts once a generation-2 probe was sent EnterBootloader.
constexpr QLatin1String WAITING_FOR_BOOTLOADER("Waiting for bootloader to start");

}  // namespace

ProbeJob* ProbeJob::skipped(const UsbDeviceInfo& probe, const QString& reason, QObject* parent) {
    auto* job = new ProbeJob(probe, QStringList(), parent);
    job->result = Outcome::Skipped;
    job->failure = reason;
    job->finalMs = 0;
    return job;
}

ProbeJob* ProbeJob::refused(const UsbDeviceInfo& probe, const QString& error, QObject* parent) {
    ProbeJob* job = skipped(probe, error, parent);
    job->result = Outcome::Failed;
    return job;
}

ProbeJob::ProbeJob(const UsbDeviceInfo& probe, const QStringList& installArguments, QObject* parent)
    : QObject(parent), record(probe) {
    process.setProgram(QCoreApplication::applicationFilePath());
    process.setArguments(installArguments);
    // Out of the terminal's process group: a Ctrl-C is for the command that runs the jobs.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    process.setStandardErrorFile(QProcess::nullDevice());
    connect(&process, &QProcess::readyReadStandardOutput, this, &ProbeJob::readEvents);
    connect(&process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus) {
        readEvents();
        if (result == Outcome::Running) {
            end(Outcome::Failed, process.exitStatus() == QProcess::CrashExit
                                     ? QStringLiteral("the install was abandoned")
                                     : QStringLiteral("the install ended (exit status %1) "
                                                      "without a result")
                                           .arg(exitCode));
        }
    });
    connect(&process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            end(Outcome::Failed, QStringLiteral("cannot start %1").arg(process.program()));
        }
    });
}

ProbeJob::~ProbeJob() {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

qint64 ProbeJob::elapsedMs() const {
    if (finalMs >= 0) {
        return finalMs;
    }
    return clock.isValid() ? clock.elapsed() : 0;
}

void ProbeJob::start() {
    clock.start();
    process.start();
}

void ProbeJob::abandon() {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
    }
}

void ProbeJob::readEvents() {
    pending += process.readAllStandardOutput();
    qsizetype end = 0;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QJsonObject event = QJsonDocument::fromJson(pending.left(end)).object();
        pending.remove(0, end + 1);
        if (!event.isEmpty()) {
            take(event);
        }
    }
}

void ProbeJob::take(const QJsonObject& event) {
    const QString kind = event.value(QLatin1String("event")).toString();
    if (kind == u"start") {
        previous = event.value(QLatin1String("previousFirmware")).toObject();
    } else if (kind == u"phase") {
        phaseText = event.value(QLatin1String("text")).toString();
        phaseTotal = event.value(QLatin1String("total")).toInteger();
        phaseUnits = event.value(QLatin1String("units")).toString();
        phaseDone = 0;
        phaseClock.start();
        restarted = restarted || phaseText == WAITING_FOR_BOOTLOADER;
    } else if (kind == u"progress") {
        phaseDone = event.value(QLatin1String("done")).toInteger();
    } else if (kind == u"message") {
        // Told as the state of the probe until the next phase, without a bar.
        phaseText = event.value(QLatin1String("text")).toString();
        phaseTotal = phaseDone = 0;
        phaseUnits.clear();
    }
    Q_EMIT told(event);
    if (kind == u"phase") {
        Q_EMIT phaseChanged();
    } else if (kind == u"result") {
        previous = event.value(QLatin1String("previousFirmware")).toObject(previous);
        installed = event.value(QLatin1String("firmware")).toObject();
        planned = event.value(QLatin1String("plan")).toObject();
        const bool dryRun = event.value(QLatin1String("dryRun")).toBool();
        if (event.value(QLatin1String("ok")).toBool()) {
            end(dryRun ? Outcome::Planned : Outcome::Installed, QString());
        } else {
            end(Outcome::Failed, event.value(QLatin1String("error")).toString());
        }
    }
}

void ProbeJob::end(Outcome outcome, const QString& error) {
    if (result != Outcome::Running) {
        return;
    }
    result = outcome;
    failure = error;
    finalMs = elapsedMs();
    Q_EMIT ended();
}
