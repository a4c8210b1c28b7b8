#include "device/AccessDiagnosis.h"

#include <cerrno>
#include <cstring>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr char RELOAD[] = "sudo udevadm control --reload-rules";
constexpr char TRIGGER[] = "sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=131b";
constexpr char REPLUG[] = "then unplug the probe and plug it in again (or run: %1)";

QString replug() {
    return QString::fromLatin1(REPLUG).arg(QLatin1String(TRIGGER));
}

void explainMissingRule(const UdevRuleStatus& rule, AccessDiagnosis& diagnosis) {
    if (!rule.maskedBy.isEmpty()) {
        diagnosis.causes << QStringLiteral("the udev rule %1 is masked by %2")
                                .arg(QLatin1String(UdevRuleStatus::RULE_NAME), rule.maskedBy);
        diagnosis.fixes << QStringLiteral("remove the mask: sudo rm %1; %2")
                               .arg(rule.maskedBy, QLatin1String(RELOAD));
    } else {
        diagnosis.causes << QStringLiteral("the udev rule %1 is not installed (looked in %2)")
                                .arg(QLatin1String(UdevRuleStatus::RULE_NAME),
                                     rule.searched.join(QStringLiteral(", ")));
        diagnosis.fixes << QStringLiteral(
                               "install the kvtool package, which installs the rule; or copy "
                               "it from the kvtool sources: sudo install -m 644 "
                               "packaging/%1 /etc/udev/rules.d/ && %2")
                               .arg(QLatin1String(UdevRuleStatus::RULE_NAME),
                                    QLatin1String(RELOAD));
    }
    diagnosis.fixes << replug();
}

void explainSeat(const SessionInfo& session, AccessDiagnosis& diagnosis) {
    diagnosis.causes << QStringLiteral(
                            "the rule gives access (udev tag uaccess) only to the user logged in "
                            "at the machine's own seat, and this session has none%1")
                            .arg(session.ssh ? QStringLiteral(" (it came in over SSH)")
                                             : QString());
    diagnosis.fixes << QStringLiteral(
        "give a group access in a rule of your own, for example /etc/udev/rules.d/"
        "61-kvtool-plugdev.rules holding: SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
        "ATTR{idVendor}==\"131b\", GROUP=\"plugdev\", MODE=\"0660\"");
    diagnosis.fixes << QStringLiteral(
                           "add yourself to that group: sudo usermod -aG plugdev %1, "
                           "then log in again")
                           .arg(session.userName);
    diagnosis.fixes << QStringLiteral("%1, %2").arg(QLatin1String(RELOAD), replug());
}

}  // namespace

SessionInfo SessionInfo::current() {
    SessionInfo session;
    const passwd* user = ::getpwuid(::geteuid());
    session.userName =
        user != nullptr ? QString::fromLocal8Bit(user->pw_name) : QString::number(::geteuid());
    session.seat = qEnvironmentVariable("XDG_SEAT");
    session.ssh =
        qEnvironmentVariableIsSet("SSH_CONNECTION") || qEnvironmentVariableIsSet("SSH_TTY");
    return session;
}

AccessDiagnosis diagnoseAccess(const DeviceNodeAccess& node, const UdevRuleStatus& rule,
                               const SessionInfo& session) {
    AccessDiagnosis diagnosis;
    if (node.accessible) {
        return diagnosis;
    }
    if (node.path.isEmpty()) {
        diagnosis.causes << QStringLiteral("the kernel names no bus number and address for it");
        diagnosis.fixes << QStringLiteral("unplug the probe and plug it in again");
        return diagnosis;
    }
    if (!node.exists) {
        diagnosis.causes << QStringLiteral("its device node %1 does not exist (%2)")
                                .arg(node.path, QString::fromLocal8Bit(std::strerror(node.error)));
        diagnosis.fixes << QStringLiteral(
            "run kvtool on the machine the probe is attached to; in a container, pass the "
            "host's /dev/bus/usb in");
        return diagnosis;
    }
    if (node.error != EACCES && node.error != EPERM) {
        diagnosis.causes << QStringLiteral("opening %1 failed: %2")
                                .arg(node.path, QString::fromLocal8Bit(std::strerror(node.error)));
        diagnosis.fixes << QStringLiteral("unplug the probe and plug it in again");
        return diagnosis;
    }
    diagnosis.causes << QStringLiteral(
                            "%1 belongs to %2:%3 with mode %4%5, which gives %6 no "
                            "read and write access")
                            .arg(node.path, node.ownerName, node.groupName, node.modeText(),
                                 node.hasAcl ? QStringLiteral(" and an ACL") : QString(),
                                 session.userName);
    if (!rule.installed()) {
        explainMissingRule(rule, diagnosis);
    } else if (session.seat.isEmpty()) {
        explainSeat(session, diagnosis);
    } else {
        diagnosis.causes << QStringLiteral(
                                "the rule is installed (%1) and this session has the seat %2, but "
                                "the node's ACL does not include %3: the rule was not applied to "
                                "this probe yet")
                                .arg(rule.found.first(), session.seat, session.userName);
        diagnosis.fixes << QStringLiteral("%1, %2").arg(QLatin1String(RELOAD), replug());
    }
    if ((node.mode & 0060) == 0060 && !node.userInGroup) {
        diagnosis.causes << QStringLiteral("the group %1 may open it, but %2 is not a member")
                                .arg(node.groupName, session.userName);
        diagnosis.fixes << QStringLiteral(
                               "or join that group: sudo usermod -aG %1 %2, then log "
                               "in again")
                               .arg(node.groupName, session.userName);
    }
    return diagnosis;
}
