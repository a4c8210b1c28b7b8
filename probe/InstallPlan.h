#pragma once

#include "probe/InstallPhase.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

// One step of an install: what it does, in a sentence, and the doing of it. `phase` says
// what kind of work it is; `changesProbe` marks the first steps after which a failure
// leaves the probe needing a new install (a generation-2 probe in its bootloader, a
// generation-3 probe with its image erased or half written).
struct InstallStep {
    QString description;
    std::function<void()> run;
    InstallPhase phase = InstallPhase::Preparing;
    bool changesProbe = false;
};

// What a plan says, without the doing: what a dry run prints and a session's events carry.
struct PlanSummary {
    quint32 address = 0;
    qint64 bytes = 0;
    QString unit;
    int unitSize = 0;
    qint64 count = 0;
    QStringList steps;
};

// An install as it will run: where the image goes, how many bytes in how many transfers,
// and its steps in order. A dry run shows the steps; the install runs these very steps,
// so what a dry run says is what an install does.
class InstallPlan {
public:
    quint32 address = 0;  // probe address of the first byte sent
    qint64 bytes = 0;     // bytes sent to the probe
    QString unit;         // "chunk" (generation 3) or "packet" (generation 2)
    int unitSize = 0;     // largest transfer, in bytes
    QList<InstallStep> steps;

    // Transfers per pass over the bytes.
    qint64 count() const { return unitSize > 0 ? (bytes + unitSize - 1) / unitSize : 0; }
    QStringList descriptions() const;
    PlanSummary summary() const;
    // Runs the steps in order, stopping at the first that throws. The plan is spent
    // either way: what its steps hold (an open link, say) is released before this returns
    // or the failure goes on. `starting`, when given, is told of each step before it runs.
    void run(const std::function<void(const InstallStep&)>& starting = {});
};
