#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "device/AccessDiagnosis.h"
#include "device/DeviceNodeAccess.h"
#include "device/SysfsDiscovery.h"
#include "device/UdevRuleStatus.h"
#include "device/UsbIds.h"

#include <QDir>
#include <QJsonArray>

namespace {

// Tests point the doctor at a fake tree: the sysfs device directory, the device-node root
// and the udev rule directories (separated by ':').
QString environmentOr(const char* name, const QString& fallback) {
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}

SysfsDiscovery discovery() {
    return SysfsDiscovery(
        environmentOr("KVTOOL_SYSFS_ROOT", QLatin1String(SysfsDiscovery::DEFAULT_ROOT)),
        environmentOr("KVTOOL_DEVICE_NODE_ROOT", QStringLiteral("/dev/bus/usb")));
}

QStringList ruleDirectories() {
    const QString value = qEnvironmentVariable("KVTOOL_UDEV_RULES_DIRS");
    return value.isEmpty() ? UdevRuleStatus::defaultDirectories()
                           : value.split(u':', Qt::SkipEmptyParts);
}

struct ProbeAccess {
    UsbDeviceInfo probe;
    DeviceNodeAccess node;
    AccessDiagnosis diagnosis;  // why it cannot be opened, and what it is in use by
};

QJsonArray holdersJson(const QList<NodeHolder>& holders) {
    QJsonArray array;
    for (const NodeHolder& holder : holders) {
        array.append(
            QJsonObject{{QStringLiteral("pid"), holder.pid},
                        {QStringLiteral("command"),
                         jsonText(holder.command.isEmpty() ? QString() : holder.command)}});
    }
    return array;
}

QJsonObject accessJson(const ProbeAccess& entry) {
    QJsonValue node(QJsonValue::Null);
    if (entry.node.exists) {
        node = QJsonObject{{QStringLiteral("owner"), entry.node.ownerName},
                           {QStringLiteral("group"), entry.node.groupName},
                           {QStringLiteral("mode"),
                            QStringLiteral("%1").arg(entry.node.mode, 4, 8, QLatin1Char('0'))},
                           {QStringLiteral("hasAcl"), entry.node.hasAcl},
                           {QStringLiteral("aclGrantsUser"), entry.node.aclGrantsUser},
                           {QStringLiteral("userInGroup"), entry.node.userInGroup}};
    }
    return QJsonObject{
        {QStringLiteral("probe"), probeJson(entry.probe)},
        {QStringLiteral("deviceNode"), entry.node.path},
        {QStringLiteral("accessible"), entry.node.accessible},
        {QStringLiteral("error"), entry.node.accessible || entry.node.error == 0
                                      ? QJsonValue(QJsonValue::Null)
                                      : QJsonValue(qt_error_string(entry.node.error))},
        {QStringLiteral("node"), node},
        {QStringLiteral("heldBy"), holdersJson(entry.node.holders)},
        {QStringLiteral("causes"), QJsonArray::fromStringList(entry.diagnosis.causes)},
        {QStringLiteral("fixes"), QJsonArray::fromStringList(entry.diagnosis.fixes)},
    };
}

QJsonObject contextJson(const UdevRuleStatus& rule, const SessionInfo& session) {
    return QJsonObject{
        {QStringLiteral("udevRule"),
         QJsonObject{{QStringLiteral("installed"), rule.installed()},
                     {QStringLiteral("paths"), QJsonArray::fromStringList(rule.found)},
                     {QStringLiteral("maskedBy"),
                      jsonText(rule.maskedBy.isEmpty() ? QString() : rule.maskedBy)},
                     {QStringLiteral("searched"), QJsonArray::fromStringList(rule.searched)}}},
        {QStringLiteral("session"),
         QJsonObject{
             {QStringLiteral("user"), session.userName},
             {QStringLiteral("seat"), jsonText(session.seat.isEmpty() ? QString() : session.seat)},
             {QStringLiteral("ssh"), session.ssh}}},
    };
}

// "ok, USER can open it", "no access", and who holds it.
QString verdict(const ProbeAccess& entry, const SessionInfo& session) {
    QString text = entry.node.accessible
                       ? QStringLiteral("ok, %1 can open it").arg(session.userName)
                       : QStringLiteral("no access");
    if (!entry.node.holders.isEmpty()) {
        text += QStringLiteral("; in use by %1").arg(describeHolders(entry.node.holders));
    }
    return text;
}

void printText(const QList<ProbeAccess>& entries, const UdevRuleStatus& rule,
               const SessionInfo& session, bool verbose, Console& console) {
    // Each fix once: a probe whose fixes were given for one above is pointed there.
    QStringList given;
    for (const ProbeAccess& entry : entries) {
        console.line(QStringLiteral("Probe %1: %2")
                         .arg(describeProbe(entry.probe), verdict(entry, session)));
        if (verbose && entry.node.exists) {
            console.line(QStringLiteral("  node:  %1:%2, mode %3%4")
                             .arg(entry.node.ownerName, entry.node.groupName, entry.node.modeText(),
                                  entry.node.aclGrantsUser
                                      ? QStringLiteral(", ACL grants you access")
                                      : QString()));
        }
        for (const QString& cause : entry.diagnosis.causes) {
            console.line(QStringLiteral("  cause: ") + cause);
        }
        QStringList fresh;
        for (const QString& fix : entry.diagnosis.fixes) {
            if (!given.contains(fix)) {
                fresh << fix;
            }
        }
        if (fresh.size() < entry.diagnosis.fixes.size()) {
            console.line(QStringLiteral("  fix:   as for the probe above"));
        }
        for (const QString& fix : fresh) {
            console.line(QStringLiteral("  fix:   ") + fix);
        }
        given += fresh;
    }
    console.line(QStringLiteral("udev rule: %1")
                     .arg(rule.installed() ? rule.found.first()
                          : rule.maskedBy.isEmpty()
                              ? QStringLiteral("not installed")
                              : QStringLiteral("masked by %1").arg(rule.maskedBy)));
    console.line(QStringLiteral("session:   user %1, %2%3")
                     .arg(session.userName,
                          session.seat.isEmpty() ? QStringLiteral("no seat")
                                                 : QStringLiteral("seat %1").arg(session.seat),
                          session.ssh ? QStringLiteral(", over SSH") : QString()));
}

}  // namespace

// For every probe the kernel lists, whether this user can open its device node; for each
// that cannot be opened, why and how to fix it; for each that another program holds, which
// one. Exit code 4 when any cannot be opened, else 1 when any is in use, 3 when there is
// no probe at all.
void runDoctor(const CliOptions& options, Console& console) {
    if (qEnvironmentVariableIsSet("KVTOOL_EMULATE") && !options.json) {
        console.line(
            QStringLiteral("KVTOOL_EMULATE is set; the doctor checks the real USB "
                           "devices, which the emulated probes are not."));
    }
    const UdevRuleStatus rule = UdevRuleStatus::find(ruleDirectories());
    const SessionInfo session = SessionInfo::current();
    QList<ProbeAccess> entries;
    for (const UsbDeviceInfo& probe : discovery().enumerate().select(PROBE_VENDOR_ID, -1)) {
        ProbeAccess entry{probe, DeviceNodeAccess::check(probe.devicePath()), {}};
        entry.diagnosis = diagnoseAccess(entry.node, rule, session);
        const AccessDiagnosis use = diagnoseUse(entry.node);
        entry.diagnosis.causes += use.causes;
        entry.diagnosis.fixes += use.fixes;
        entries << entry;
    }

    QJsonObject result = contextJson(rule, session);
    QJsonArray probes;
    int denied = 0;
    int held = 0;
    for (const ProbeAccess& entry : entries) {
        probes.append(accessJson(entry));
        denied += entry.node.accessible ? 0 : 1;
        held += entry.node.holders.isEmpty() ? 0 : 1;
    }
    result.insert(QStringLiteral("probes"), probes);

    if (!options.json) {
        printText(entries, rule, session, options.verbose, console);
    }
    if (entries.isEmpty()) {
        throw CliFailure(ExitCode::NoProbe, QStringLiteral("No devices connected"),
                         QStringLiteral("attach the Korvane you wish to check"))
            .with(result);
    }
    if (denied > 0) {
        throw CliFailure(ExitCode::PermissionDenied,
                         QStringLiteral("%1 of %2 probes cannot be opened by %3")
                             .arg(denied)
                             .arg(entries.size())
                             .arg(session.userName))
            .with(result);
    }
    if (held > 0) {
        throw CliFailure(ExitCode::Failed,
                         QStringLiteral("%1 of %2 probes are in use by other programs")
                             .arg(held)
                             .arg(entries.size()))
            .with(result);
    }
    if (options.json) {
        console.json(merged(result, jsonResult(options.commandName, 0)));
    }
}
