#pragma once

#include "probe/SessionResult.h"

#include <QObject>

// What an install session tells as it goes, in order: for an update imageChosen (the image
// chosen once the probe was read, by its path and SHA-256), started (what the probe had), for a
// dry run planned, then per phase phaseStarted and progressed, probeStateChanged when the
// install first changes the probe and when it completes it, told for the moments between
// phases, and finished, once, with the result. The same events come from a session run in
// this process (InstallSession) and from one run by a child process (ChildSession), so
// that a front end formats both alike.
class SessionEvents : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

Q_SIGNALS:
    void imageChosen(const QString& path, const QString& sha256);
    void started(const InstalledFirmware& before);
    void planned(const PlanSummary& plan);
    void probeStateChanged(ProbeState state);
    // A phase with a measure: `total` of `units` ("bytes", "Bytes", or empty for the
    // attempts of the bootloader wait); `text` is what the window shows for it.
    void phaseStarted(InstallPhase phase, qint64 total, const QString& text, const QString& units);
    void progressed(qint64 done);
    void told(SessionMessage message);
    void finished(const SessionResult& result);
};
