#include "device/AccessDiagnosis.h"

#include <cerrno>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr char RELOAD[] = "sudo udevadm control --reload-rules";
constexpr char TRIGGER[] = "sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=131b";
constexpr char REPLUG[] = "then unplug the probe and plug it in again (or run: %1)";
// Debian gives system groups (root, plugdev, dialout, ...) ids below this one. Joining one
// gives a user far more than the probe, so the doctor never advises it.
constexpr gid_t FIRST_USER_GROUP = 1000;
// The group of our own that a rule gives the probes to, for sessions without a seat.
constexpr char OWN_GROUP[] = "kvtool";
constexpr char GROUP_RULE[] = "/etc/udev/rules.d/61-kvtool-group.rules";

// The fixes of one diagnosis, in order, each once.
class Fixes {
public:
    explicit Fixes(QStringList& list) : list(list) {}
    void add(const QString& fix) {
        if (!list.contains(fix)) {
            list << fix;
        }
    }

private:
    QStringList& list;
};

QString replug() {
    return QString::fromLatin1(REPLUG).arg(QLatin1String(TRIGGER));
}

QString joinGroup(const QString& group, const QString& user) {
    return QStringLiteral("join the group %1: sudo usermod -aG %1 %2, then log in again")
        .arg(group, user);
}

void explainMissingRule(const UdevRuleStatus& rule, AccessDiagnosis& diagnosis, Fixes& fixes) {
    if (!rule.maskedBy.isEmpty()) {
        diagnosis.causes << QStringLiteral("the udev rule %1 is masked by %2")
                                .arg(QLatin1String(UdevRuleStatus::RULE_NAME), rule.maskedBy);
        fixes.add(QStringLiteral("remove the mask: sudo rm %1").arg(rule.maskedBy));
    } else {
        diagnosis.causes << QStringLiteral("the udev rule %1 is not installed (looked in %2)")
                                .arg(QLatin1String(UdevRuleStatus::RULE_NAME),
                                     rule.searched.join(QStringLiteral(", ")));
        fixes.add(QStringLiteral("install the kvtool package, which installs the rule; or copy "
                                 "it from the kvtool sources: sudo install -m 644 packaging/%1 "
                                 "/etc/udev/rules.d/")
                      .arg(QLatin1String(UdevRuleStatus::RULE_NAME)));
    }
}

void explainSeat(const DeviceNodeAccess& node, const SessionInfo& session,
                 AccessDiagnosis& diagnosis, Fixes& fixes) {
    diagnosis.causes << QStringLiteral(
                            "the udev rule %1 gives access (udev tag uaccess) only to the user "
                            "logged in at the machine's own seat, and this session has none%2")
                            .arg(QLatin1String(UdevRuleStatus::RULE_NAME))
                            .arg(session.ssh ? QStringLiteral(" (it came in over SSH)")
                                             : QString());
    // A group of our own, which opens the probes and nothing else; where the node has it
    // already, joining it is all there is to do.
    if (node.groupName != QLatin1String(OWN_GROUP)) {
        fixes.add(QStringLiteral("make a group of your own for the probes: sudo groupadd %1")
                      .arg(QLatin1String(OWN_GROUP)));
        fixes.add(QStringLiteral("give it the probes in a rule of your own, %1 holding: "
                                 "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
                                 "ATTR{idVendor}==\"131b\", GROUP=\"%2\", MODE=\"0660\"")
                      .arg(QLatin1String(GROUP_RULE), QLatin1String(OWN_GROUP)));
    }
    fixes.add(joinGroup(QLatin1String(OWN_GROUP), session.userName));
}

// What the node's group says: a group of users that may open it, which this user could
// join; or a system group, which the doctor names but never advises joining.
void explainGroup(const DeviceNodeAccess& node, const SessionInfo& session,
                  AccessDiagnosis& diagnosis, Fixes& fixes) {
    if ((node.mode & 0060) != 0060 || node.userInGroup) {
        return;
    }
    if (node.groupId >= FIRST_USER_GROUP) {
        diagnosis.causes << QStringLiteral("the group %1 may open it, but %2 is not a member")
                                .arg(node.groupName, session.userName);
        fixes.add(joinGroup(node.groupName, session.userName));
    } else {
        diagnosis.causes << QStringLiteral(
                                "the group %1 may open it, but it is a system group, which "
                                "opens far more than the probe: kvtool does not advise joining it")
                                .arg(node.groupName);
    }
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
                                .arg(node.path, qt_error_string(node.error));
        diagnosis.fixes << QStringLiteral(
            "run kvtool on the machine the probe is attached to; in a container, pass the "
            "host's /dev/bus/usb in");
        return diagnosis;
    }
    if (node.error != EACCES && node.error != EPERM) {
        diagnosis.causes
            << QStringLiteral("opening %1 failed: %2").arg(node.path, qt_error_string(node.error));
        diagnosis.fixes << QStringLiteral("unplug the probe and plug it in again");
        return diagnosis;
    }
    diagnosis.causes << QStringLiteral(
                            "%1 belongs to %2:%3 with mode %4%5, which gives %6 no "
                            "read and write access")
                            .arg(node.path, node.ownerName, node.groupName, node.modeText(),
                                 node.hasAcl ? QStringLiteral(" and an ACL") : QString(),
                                 session.userName);
    Fixes fixes(diagnosis.fixes);
    explainGroup(node, session, diagnosis, fixes);
    // Without a seat the rule cannot serve this session, installed or not: a group can.
    if (session.seat.isEmpty()) {
        explainSeat(node, session, diagnosis, fixes);
    } else if (!rule.installed()) {
        explainMissingRule(rule, diagnosis, fixes);
    } else {
        diagnosis.causes << QStringLiteral(
                                "the rule is installed (%1) and this session has the seat %2, but "
                                "the node's ACL does not include %3: the rule was not applied to "
                                "this probe yet")
                                .arg(rule.found.first(), session.seat, session.userName);
    }
    fixes.add(QLatin1String(RELOAD));
    fixes.add(replug());
    return diagnosis;
}

AccessDiagnosis diagnoseUse(const DeviceNodeAccess& node) {
    AccessDiagnosis diagnosis;
    if (node.holders.isEmpty()) {
        return diagnosis;
    }
    diagnosis.causes << QStringLiteral(
                            "it is in use by %1: an install would fail with \"device already in "
                            "use\"")
                            .arg(describeHolders(node.holders));
    diagnosis.fixes << QStringLiteral(
        "end that program, or have it let go of the probe, before "
        "you install");
    return diagnosis;
}
