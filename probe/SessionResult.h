#pragma once

#include "probe/InstallPhase.h"
#include "probe/InstallPlan.h"
#include "probe/InstalledFirmware.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

// How one probe's install session ended.
enum class SessionOutcome {
    Installed,  // the image went in and the probe was read again
    Planned,    // a dry run: the probe was read, nothing that changes it was sent
    UpToDate,   // the probe runs what the image would install; nothing else was sent
    Failed
};

// Why a session failed, as a kind a front end branches on (its exit status, its hint).
enum class FailureKind {
    None,
    ImageRefused,      // the image cannot be installed on this probe (nothing was sent)
    NoProbe,           // the probe is not there (any more) to start with
    PermissionDenied,  // this user may not open the probe
    Failed,            // the probe or the link reported a failure
    NotReturned,       // installed, but the probe could not be read again afterwards
    Abandoned,         // the user gave the install up while it ran
    InUse,             // another installer on this host drives the probe (nothing was sent)
    DeviceBusy         // another program holds the probe's USB device: its open was refused
};

// What a failure leaves of the probe.
enum class ProbeState {
    Untouched,     // nothing that changes the probe was sent
    NeedsInstall,  // changed and not finished: in its bootloader, or its image erased or
                   // partly written; an install on it again recovers it
    Installed      // the whole image went in and was verified
};

struct SessionFailure {
    FailureKind kind = FailureKind::None;
    QString message;    // the system's own message
    QString usbReason;  // the USB backend's reason behind it, where there is one
    // The failing step reported its phase's total on its way out (StepFailure): the phase
    // stopped where it stood before that report.
    bool reportedTotal = false;
    // DeviceBusy: the processes that hold the device, "PID 1234 (openocd)", where this
    // user may see them (empty otherwise).
    QString holder = {};
};

// The time each phase took, in the order they ran.
struct PhaseTime {
    InstallPhase phase = InstallPhase::Preparing;
    qint64 ms = 0;
    friend bool operator==(const PhaseTime&, const PhaseTime&) = default;
};

struct SessionResult {
    SessionOutcome outcome = SessionOutcome::Failed;
    SessionFailure failure;
    ProbeState probeState = ProbeState::Untouched;
    std::optional<InstalledFirmware> before;  // null when it could not be read
    std::optional<InstalledFirmware> after;   // read again after an install
    std::optional<PlanSummary> plan;          // a dry run's
    qint64 elapsedMs = 0;
    QList<PhaseTime> phaseTimes;
    // The image of the session (for an update the one chosen; empty when none was).
    QString imagePath;
    QString imageSha256;

    bool succeeded() const { return outcome != SessionOutcome::Failed; }
};

// What a session tells besides its phases.
enum class SessionMessage {
    Installed,        // the image went in; the probe restarts into it (generation 2)
    AwaitingRestart,  // waiting for the probe to run again
};

Q_DECLARE_METATYPE(SessionResult)
Q_DECLARE_METATYPE(InstalledFirmware)
Q_DECLARE_METATYPE(PlanSummary)
Q_DECLARE_METATYPE(InstallPhase)
Q_DECLARE_METATYPE(ProbeState)
Q_DECLARE_METATYPE(SessionMessage)
