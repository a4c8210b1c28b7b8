#pragma once

#include "cli/ExitCode.h"
#include "device/UsbDeviceInfo.h"
#include "probe/SessionResult.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <optional>

class ChildSession;
class SessionEvents;

// One probe of an install on several: its install session, run by a process of its own
// (ChildSession), and what a front end shows of it as it goes (the phase under way, how far)
// and once it ended (its result). A probe left out (skipped) or refused before anything was
// sent is a job that does not run.
class ProbeJob : public QObject {
    Q_OBJECT

public:
    enum class Outcome { Running, Installed, Planned, UpToDate, Failed, Skipped };

    // A job that does not run: `reason` says why the probe is left out (skipped), or why
    // it is refused (failed, with the exit status of that refusal).
    static ProbeJob* skipped(const UsbDeviceInfo& probe, const QString& reason,
                             QObject* parent = nullptr);
    static ProbeJob* refused(const UsbDeviceInfo& probe, const QString& error, ExitCode code,
                             QObject* parent = nullptr);
    // A job whose session ran elsewhere (in this process, or this is the session's process)
    // and ended with `result` after `elapsedMs`; `update` as for setUpdate().
    static ProbeJob* fromResult(const UsbDeviceInfo& probe, const SessionResult& result,
                                qint64 elapsedMs, bool inUseSkipped, bool update = false,
                                QObject* parent = nullptr);
    // A job that runs `session` (which it takes) on `probe`.
    ProbeJob(const UsbDeviceInfo& probe, ChildSession* session, QObject* parent = nullptr);

    // Whether a probe that another installer holds is skipped (watch: the other one installs
    // it) rather than failed.
    void setInUseSkipped(bool skipped) { inUseSkipped = skipped; }
    // Whether the job is an update, whose probe that needs nothing is up to date rather than
    // skipped (watch leaves alone a probe that runs its image).
    void setUpdate(bool on) { updating = on; }
    bool update() const { return updating; }
    void start(const QString& program);
    // Ends the session's process at once (SIGKILL): what it had done stays done.
    void abandon();
    // The events of the running session (null for a job that does not run).
    SessionEvents* events() const;
    // Whether the session's process appended the job's record itself (see ChildSession).
    std::optional<QString> recordedBySession() const;

    const UsbDeviceInfo& probe() const { return record; }
    Outcome outcome() const { return result; }
    bool finished() const { return result != Outcome::Running; }
    QString error() const { return failure; }
    QString usbReason() const { return reason; }
    // The exit status this probe alone calls for.
    ExitCode exitCode() const { return code; }
    std::optional<InstalledFirmware> before() const { return firmwareBefore; }
    std::optional<InstalledFirmware> after() const { return firmwareAfter; }
    std::optional<PlanSummary> plan() const { return planned; }
    const QList<PhaseTime>& phaseTimes() const { return times; }
    // The SHA-256 of the image the session took (empty when it took none).
    QString imageSha256() const { return sha256; }
    // The phase under way: its text, how far, of how much (0: nothing to count, as after a
    // message), in what units.
    QString phase() const { return phaseText; }
    qint64 done() const { return phaseDone; }
    // The position before the last report, and whether the step that failed reported the
    // phase's total on its way out: where a failed phase really stopped.
    qint64 doneBefore() const { return phaseDoneBefore; }
    bool stepReportedTotal() const { return reportedTotal; }
    qint64 total() const { return phaseTotal; }
    QString units() const { return phaseUnits; }
    qint64 phaseElapsedMs() const { return phaseClock.isValid() ? phaseClock.elapsed() : 0; }
    // How long it ran (so far, while it runs).
    qint64 elapsedMs() const;
    // Whether the probe was changed and not finished: a generation-2 probe in its
    // bootloader, a generation-3 probe with its image erased or partly written. An install
    // on it again recovers it.
    bool needsInstall() const { return state == ProbeState::NeedsInstall; }
    // Installed, or (a dry run) planned; for an update also up to date.
    bool succeeded() const {
        return result == Outcome::Installed || result == Outcome::Planned ||
               (updating && result == Outcome::UpToDate);
    }

Q_SIGNALS:
    // A phase began (or a message took the place of one).
    void phaseChanged();
    void ended();

private:
    void end(const SessionResult& session);

    UsbDeviceInfo record;
    ChildSession* session = nullptr;
    Outcome result = Outcome::Running;
    QString failure;
    QString reason;
    ExitCode code = ExitCode::Done;
    bool inUseSkipped = false;
    bool updating = false;
    QString sha256;
    ProbeState state = ProbeState::Untouched;
    std::optional<InstalledFirmware> firmwareBefore;
    std::optional<InstalledFirmware> firmwareAfter;
    std::optional<PlanSummary> planned;
    QList<PhaseTime> times;
    QString phaseText;
    qint64 phaseDone = 0;
    qint64 phaseDoneBefore = 0;
    bool reportedTotal = false;
    qint64 phaseTotal = 0;
    QString phaseUnits;
    QElapsedTimer clock;
    QElapsedTimer phaseClock;
    qint64 finalMs = -1;
};
