#include "probe/InstallSession.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/NodeHolders.h"
#include "device/UsbBackend.h"
#include "device/UsbOpenError.h"
#include "probe/ProbeLock.h"
#include "probe/SleepInhibitor.h"
#include "probe/StepFailure.h"

#include <QScopeGuard>

// One run of a session: the result as it builds up, and where the time goes.
class InstallSession::Run {
public:
    explicit Run(InstallSession& session) : session(session), startMs(tickCountMs()) {}

    SessionResult go();

private:
    // Ends the session here with `kind` and the message of `error` (its USB reason when a
    // failure was seen since `failuresBefore`).
    SessionResult fail(FailureKind kind, const QString& message);
    SessionResult failFrom(const HException& error);
    SessionResult end(SessionOutcome outcome);
    // The result of a session that refuses `image` before anything is sent, or nothing.
    std::optional<SessionResult> refuse(const ImageIdentity& image);
    void noteImage(const ImageIdentity& image);
    void enterPhase(InstallPhase next);
    void setState(ProbeState state);

    InstallSession& session;
    SessionResult result;
    quint32 startMs;
    quint32 phaseStartMs = 0;
    std::optional<InstallPhase> phase;
    int failuresBefore = 0;
};

InstallSession::InstallSession(std::unique_ptr<ProbeEngine> engine, const UsbDeviceInfo& probe,
                               std::shared_ptr<const ImageIdentity> image, Options options,
                               QObject* parent)
    : SessionEvents(parent),
      engine(std::move(engine)),
      device(probe),
      identity(std::move(image)),
      options(options) {
    connect(this->engine.get(), &ProbeEngine::progress, this, &InstallSession::progress);
}

InstallSession::InstallSession(std::unique_ptr<ProbeEngine> engine, const UsbDeviceInfo& probe,
                               ImageChooser chooser, Options options, QObject* parent)
    : InstallSession(std::move(engine), probe, std::shared_ptr<const ImageIdentity>(), options,
                     parent) {
    this->chooser = std::move(chooser);
}

InstallSession::~InstallSession() = default;

SessionResult InstallSession::run() {
    SessionResult result = Run(*this).go();
    Q_EMIT finished(result);
    return result;
}

SessionResult InstallSession::Run::go() {
    ProbeEngine& engine = *session.engine;
    const UsbDeviceInfo& probe = session.device;
    failuresBefore = usbBackend().failuresSeen();

    // What the install would refuse only once under way is refused before any frame.
    if (session.identity) {
        if (std::optional<SessionResult> refused = refuse(*session.identity)) {
            return *refused;
        }
    }

    // One installer per probe on this host, from the first frame to the last: a probe that
    // another process drives is left to it.
    const ProbeLock lock(probe);
    if (lock.heldElsewhere()) {
        return fail(FailureKind::InUse, lock.inUseMessage());
    }

    // What the probe has now, read as the window's page reads it when it shows the probe.
    if (session.options.readBefore || session.chooser) {
        try {
            result.before = engine.readInstalled(probe);
        } catch (const HException& e) {
            return failFrom(e);
        }
        if (session.chooser) {
            const UpdateChoice choice = session.chooser(*result.before);
            failuresBefore = usbBackend().failuresSeen();  // no USB reason is behind a choice
            if (!choice.image) {
                return fail(FailureKind::ImageRefused, choice.problem);
            }
            session.identity = choice.image;
            noteImage(*choice.image);
            Q_EMIT session.imageChosen(choice.image->path, choice.image->sha256);
            Q_EMIT session.started(*result.before);
            if (!choice.needed()) {
                return end(SessionOutcome::UpToDate);
            }
            if (std::optional<SessionResult> refused = refuse(*choice.image)) {
                return *refused;
            }
        } else {
            Q_EMIT session.started(*result.before);
            if (session.options.skipIfRunning && engine.runs(*result.before, *session.identity)) {
                return end(SessionOutcome::UpToDate);
            }
        }
    }
    const ImageIdentity& image = *session.identity;

    InstallPlan plan;
    try {
        plan = engine.plan(probe, image);
    } catch (const HException& e) {
        return failFrom(e);
    }
    if (session.options.dryRun) {
        result.plan = plan.summary();
        Q_EMIT session.planned(*result.plan);
        return end(SessionOutcome::Planned);
    }

    // The engine's progress reports become the phase's measure: (0, total, text, units)
    // starts it, (done, -1, ...) moves it on.
    const QMetaObject::Connection measure =
        connect(&engine, &ProbeEngine::progress, &session,
                [this](int step, int steps, const char* taskdesc, const char* units) {
                    if (steps != -1 && taskdesc != nullptr && phase) {
                        Q_EMIT session.phaseStarted(*phase, steps, QString::fromLatin1(taskdesc),
                                                    QString::fromLatin1(units));
                    }
                    Q_EMIT session.progressed(step);
                });
    const auto disconnect = qScopeGuard([measure] { QObject::disconnect(measure); });
    // No sleep or shutdown from the first frame that changes the probe until it runs again.
    const SleepInhibitor inhibitor;
    try {
        failuresBefore = usbBackend().failuresSeen();
        plan.run([this](const InstallStep& step) {
            enterPhase(step.phase);
            if (step.changesProbe && result.probeState == ProbeState::Untouched) {
                setState(ProbeState::NeedsInstall);
            }
        });
    } catch (const HException& e) {
        result.failure.reportedTotal = dynamic_cast<const StepFailure*>(&e) != nullptr;
        return failFrom(e);
    }
    setState(ProbeState::Installed);

    Q_EMIT session.told(SessionMessage::Installed);
    enterPhase(InstallPhase::Restarting);
    if (engine.restartsAfterInstall()) {
        Q_EMIT session.told(SessionMessage::AwaitingRestart);
    }
    try {
        failuresBefore = usbBackend().failuresSeen();
        result.after = engine.awaitReturn(probe);
    } catch (const HException& e) {
        return fail(FailureKind::NotReturned, messageOf(e));
    }
    return end(SessionOutcome::Installed);
}

std::optional<SessionResult> InstallSession::Run::refuse(const ImageIdentity& image) {
    ProbeEngine& engine = *session.engine;
    noteImage(image);
    if (!image.generation) {
        return fail(FailureKind::ImageRefused, image.problem);
    }
    if (*image.generation != engine.generation()) {
        return fail(FailureKind::ImageRefused,
                    QStringLiteral("%1 is a generation-%2 image, but the probe %3 is generation %4")
                        .arg(image.path)
                        .arg(*image.generation)
                        .arg(session.device.serialNumber())
                        .arg(engine.generation()));
    }
    if (!image.problem.isEmpty()) {
        return fail(FailureKind::ImageRefused, image.problem);
    }
    try {
        engine.check(session.device, image);
    } catch (const HException& e) {
        return fail(FailureKind::ImageRefused, messageOf(e));
    }
    return std::nullopt;
}

void InstallSession::Run::noteImage(const ImageIdentity& image) {
    result.imagePath = image.path;
    result.imageSha256 = image.sha256;
}

void InstallSession::Run::enterPhase(InstallPhase next) {
    const quint32 now = tickCountMs();
    if (phase) {
        const qint64 ms = qint64(quint32(now - phaseStartMs));
        // Steps of one phase in a row count as one.
        if (!result.phaseTimes.isEmpty() && result.phaseTimes.last().phase == *phase) {
            result.phaseTimes.last().ms += ms;
        } else {
            result.phaseTimes.append({*phase, ms});
        }
    }
    phase = next;
    phaseStartMs = now;
}

void InstallSession::Run::setState(ProbeState state) {
    result.probeState = state;
    Q_EMIT session.probeStateChanged(state);
}

SessionResult InstallSession::Run::failFrom(const HException& error) {
    const auto* refused = dynamic_cast<const UsbOpenError*>(&error);
    const OpenRefusal refusal = refused != nullptr ? refused->refusal() : OpenRefusal::None;
    if (refusal == OpenRefusal::Busy) {
        // Which program holds it, while it still does.
        result.failure.holder = describeHolders(processesHolding(refused->deviceNode()));
        return fail(FailureKind::DeviceBusy, messageOf(error));
    }
    return fail(
        refusal == OpenRefusal::Denied ? FailureKind::PermissionDenied : FailureKind::Failed,
        messageOf(error));
}

SessionResult InstallSession::Run::fail(FailureKind kind, const QString& message) {
    result.failure.kind = kind;
    result.failure.message = message;
    const UsbBackend& backend = usbBackend();
    if (backend.failuresSeen() != failuresBefore) {
        result.failure.usbReason = backend.lastFailureReason();
    }
    return end(SessionOutcome::Failed);
}

SessionResult InstallSession::Run::end(SessionOutcome outcome) {
    if (phase) {
        enterPhase(*phase);  // closes the last phase's time
    }
    result.outcome = outcome;
    result.elapsedMs = qint64(quint32(tickCountMs() - startMs));
    return result;
}
