#pragma once

#include "device/DeviceNodeAccess.h"
#include "device/UdevRuleStatus.h"

#include <QString>
#include <QStringList>

// The login session the doctor runs in, as far as access to USB devices goes.
struct SessionInfo {
    QString userName;
    QString seat;      // XDG_SEAT, empty when the session has none
    bool ssh = false;  // started over SSH

    static SessionInfo current();
};

// Why this user cannot open a probe's device node, and what to do about it, one sentence
// per line. Empty for a node that opens.
struct AccessDiagnosis {
    QStringList causes;
    QStringList fixes;
};

AccessDiagnosis diagnoseAccess(const DeviceNodeAccess& node, const UdevRuleStatus& rule,
                               const SessionInfo& session);
// Whether other processes hold the node (an install would find the probe in use), and
// what to do about it. Empty when none does.
AccessDiagnosis diagnoseUse(const DeviceNodeAccess& node);
