#include "cli/ProbeJob.h"

#include "cli/CliFailure.h"
#include "probe/ChildSession.h"

ProbeJob* ProbeJob::skipped(const UsbDeviceInfo& probe, const QString& reason, QObject* parent) {
    auto* job = new ProbeJob(probe, nullptr, parent);
    job->result = Outcome::Skipped;
    job->failure = reason;
    job->finalMs = 0;
    return job;
}

ProbeJob* ProbeJob::refused(const UsbDeviceInfo& probe, const QString& error, ExitCode code,
                            QObject* parent) {
    ProbeJob* job = skipped(probe, error, parent);
    job->result = Outcome::Failed;
    job->code = code;
    return job;
}

ProbeJob* ProbeJob::fromResult(const UsbDeviceInfo& probe, const SessionResult& result,
                               qint64 elapsedMs, bool inUseSkipped, bool update, QObject* parent) {
    auto* job = new ProbeJob(probe, nullptr, parent);
    job->inUseSkipped = inUseSkipped;
    job->updating = update;
    job->finalMs = elapsedMs;
    job->end(result);
    return job;
}

ProbeJob::ProbeJob(const UsbDeviceInfo& probe, ChildSession* session, QObject* parent)
    : QObject(parent), record(probe), session(session) {
    if (session == nullptr) {
        return;
    }
    session->setParent(this);
    connect(session, &SessionEvents::started, this,
            [this](const InstalledFirmware& firmware) { firmwareBefore = firmware; });
    connect(session, &SessionEvents::probeStateChanged, this,
            [this](ProbeState now) { state = now; });
    connect(session, &SessionEvents::phaseStarted, this,
            [this](InstallPhase, qint64 total, const QString& text, const QString& units) {
                phaseText = text;
                phaseTotal = total;
                phaseUnits = units;
                phaseDone = phaseDoneBefore = 0;
                phaseClock.start();
                Q_EMIT phaseChanged();
            });
    connect(session, &SessionEvents::progressed, this, [this](qint64 done) {
        phaseDoneBefore = phaseDone;
        phaseDone = done;
    });
    connect(session, &SessionEvents::told, this, [this](SessionMessage message) {
        if (message == SessionMessage::AwaitingRestart) {
            // The state of the probe until the next phase, without a bar.
            phaseText = QStringLiteral("Waiting for the probe to restart into its application");
            phaseTotal = phaseDone = 0;
            phaseUnits.clear();
        }
    });
    connect(session, &SessionEvents::finished, this, &ProbeJob::end);
}

SessionEvents* ProbeJob::events() const {
    return session;
}

std::optional<QString> ProbeJob::recordedBySession() const {
    return session != nullptr ? session->recorded() : std::nullopt;
}

qint64 ProbeJob::elapsedMs() const {
    if (finalMs >= 0) {
        return finalMs;
    }
    return clock.isValid() ? clock.elapsed() : 0;
}

void ProbeJob::start(const QString& program) {
    clock.start();
    session->start(program);
}

void ProbeJob::abandon() {
    if (session != nullptr) {
        session->abandon();
    }
}

void ProbeJob::end(const SessionResult& session) {
    if (result != Outcome::Running) {
        return;
    }
    switch (session.outcome) {
        case SessionOutcome::Installed:
            result = Outcome::Installed;
            break;
        case SessionOutcome::Planned:
            result = Outcome::Planned;
            break;
        case SessionOutcome::UpToDate:
            result = Outcome::UpToDate;
            if (!updating) {
                failure = QStringLiteral(
                    "it runs the image's version already (--force installs it all the same)");
            }
            break;
        case SessionOutcome::Failed:
            failure = session.failure.message;
            if (session.failure.kind == FailureKind::InUse && inUseSkipped) {
                result = Outcome::Skipped;
                break;
            }
            result = Outcome::Failed;
            reason = session.failure.usbReason;
            reportedTotal = session.failure.reportedTotal;
            code = CliFailure::exitCodeOf(session.failure);
            break;
    }
    state = session.probeState;
    sha256 = session.imageSha256;
    firmwareBefore = session.before ? session.before : firmwareBefore;
    firmwareAfter = session.after;
    planned = session.plan;
    times = session.phaseTimes;
    if (finalMs < 0) {
        finalMs = elapsedMs();
    }
    Q_EMIT ended();
}
