// kvtool-cli doctor against a fake sysfs tree, fake device nodes and fake udev rule
// directories. When the tests run as root the command runs as "nobody", so that the nodes'
// permissions apply to it.

#include "CliRunner.h"
#include "JsonSchema.h"
#include "support/FakeSysfs.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr QFileDevice::Permissions READABLE_DIRECTORY =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
constexpr QFileDevice::Permissions OPEN_TO_ALL = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                 QFileDevice::ReadOther | QFileDevice::WriteOther;

class CliDoctor : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::setPermissions(sysfs.root(), READABLE_DIRECTORY);
        for (const char* directory : {"dev", "etc-rules", "lib-rules"}) {
            QDir(cli.directory()).mkpath(QLatin1String(directory));
        }
        cli.setEnvironment(QStringLiteral("KVTOOL_SYSFS_ROOT"), sysfs.root());
        cli.setEnvironment(QStringLiteral("KVTOOL_DEVICE_NODE_ROOT"),
                           cli.path(QStringLiteral("dev")));
        cli.setEnvironment(
            QStringLiteral("KVTOOL_UDEV_RULES_DIRS"),
            cli.path(QStringLiteral("etc-rules")) + u':' + cli.path(QStringLiteral("lib-rules")));
        cli.runUnprivileged(true);
        const passwd* user = ::getpwuid(::geteuid() == 0 ? 65534 : ::geteuid());
        userName = QString::fromLocal8Bit(user != nullptr ? user->pw_name : "?");
    }

    // A probe in sysfs at bus 1, address `address`, and its device node, open to everyone
    // or to nobody at all (mode 0000; nobody but root could open it, and root is not the
    // one asking).
    QString addProbe(const char* name, const char* productId, const char* serial,
                     const char* address, bool openToAll) {
        sysfs.addDevice(QLatin1String(name), "131b", productId, serial, "1", address);
        QString node = cli.path(
            QStringLiteral("dev/001/%1").arg(QString::fromLatin1(address).rightJustified(3, u'0')));
        QDir().mkpath(QFileInfo(node).absolutePath());
        QFile file(node);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
        QFile::setPermissions(node, openToAll ? OPEN_TO_ALL : QFileDevice::Permissions());
        return node;
    }
    void installRule(const char* directory) {
        QFile rule(cli.path(QStringLiteral("%1/60-kvtool.rules").arg(QLatin1String(directory))));
        ASSERT_TRUE(rule.open(QIODevice::WriteOnly));
        rule.write("SUBSYSTEM==\"usb\", ATTR{idVendor}==\"131b\", TAG+=\"uaccess\"\n");
    }
    CliRun doctor(const QStringList& extra = {}) {
        return cli.run(QStringList{QStringLiteral("doctor")} + extra);
    }

    CliRunner cli;
    FakeSysfs sysfs;
    QString userName;
};

TEST_F(CliDoctor, ProbeThatOpensIsReportedOk) {
    const QString node = addProbe("1-1", "3", "K3000001", "2", true);
    sysfs.addDevice(QStringLiteral("1-2"), "046d", "c52b", "OTHER", "1", "3");  // not a probe
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    EXPECT_TRUE(run.out.contains(
        QStringLiteral("Probe K3000001 (generation 3, loader, %1): ok, %2 can open it")
            .arg(node, userName)))
        << run.out.toStdString();
    EXPECT_FALSE(run.out.contains(QStringLiteral("OTHER")));
    EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
}

TEST_F(CliDoctor, WithoutTheRuleItSaysHowToInstallIt) {
    const QString node = addProbe("1-1", "2", "K2000001", "5", false);
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, 4) << ::testing::PrintToString(run);
    EXPECT_TRUE(run.out.contains(QStringLiteral("): no access")));
    EXPECT_TRUE(run.out.contains(QStringLiteral("  cause: %1 belongs to ").arg(node)))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("with mode 0000 (---------)")));
    EXPECT_TRUE(run.out.contains(
        QStringLiteral("the udev rule 60-kvtool.rules is not installed (looked in %1, %2)")
            .arg(cli.path(QStringLiteral("etc-rules")), cli.path(QStringLiteral("lib-rules")))));
    EXPECT_TRUE(run.out.contains(
        QStringLiteral("sudo install -m 644 packaging/60-kvtool.rules /etc/udev/rules.d/")));
    EXPECT_TRUE(run.out.contains(QStringLiteral("sudo udevadm control --reload-rules")));
    EXPECT_TRUE(run.out.contains(QStringLiteral("unplug the probe and plug it in again")));
    EXPECT_EQ(run.errLines().value(0),
              QStringLiteral("kvtool-cli: 1 of 1 probes cannot be opened by %1").arg(userName));
}

TEST_F(CliDoctor, RuleInstalledButNoSeatPointsToAGroup) {
    addProbe("1-1", "3", "K3000001", "2", false);
    installRule("lib-rules");
    cli.setEnvironment(QStringLiteral("SSH_CONNECTION"), QStringLiteral("10.0.0.1 22 10.0.0.2 22"));
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_TRUE(run.out.contains(QStringLiteral("this session has none (it came in over SSH)")))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("61-kvtool-plugdev.rules")));
    EXPECT_TRUE(run.out.contains(QStringLiteral("sudo usermod -aG plugdev %1").arg(userName)));
    EXPECT_TRUE(run.out.contains(QStringLiteral("udev rule: %1/60-kvtool.rules")
                                     .arg(cli.path(QStringLiteral("lib-rules")))));
}

TEST_F(CliDoctor, RuleInstalledAndSeatPresentMeansTheRuleWasNotAppliedYet) {
    addProbe("1-1", "3", "K3000001", "2", false);
    installRule("etc-rules");
    cli.setEnvironment(QStringLiteral("XDG_SEAT"), QStringLiteral("seat0"));
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_TRUE(run.out.contains(
        QStringLiteral("this session has the seat seat0, but the node's ACL does not include")))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(
        QStringLiteral("sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=131b")));
}

TEST_F(CliDoctor, MaskedRuleIsNamed) {
    addProbe("1-1", "3", "K3000001", "2", false);
    installRule("lib-rules");
    const QString mask = cli.path(QStringLiteral("etc-rules/60-kvtool.rules"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), mask));
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_TRUE(
        run.out.contains(QStringLiteral("the udev rule 60-kvtool.rules is masked by %1").arg(mask)))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("udev rule: masked by %1").arg(mask)));
}

TEST_F(CliDoctor, MissingNodeAndMixedProbes) {
    addProbe("1-1", "3", "K3000001", "2", true);
    sysfs.addDevice(QStringLiteral("1-3"), "131b", "ff", "K2000009", "1", "9");  // no node
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_TRUE(run.out.contains(QStringLiteral("K3000001 (generation 3, loader, ")));
    EXPECT_TRUE(run.out.contains(QStringLiteral("K2000009 (generation 2, bootloader, ")));
    EXPECT_TRUE(run.out.contains(QStringLiteral("/dev/001/009 does not exist")))
        << run.out.toStdString();
    EXPECT_EQ(run.errLines().value(0),
              QStringLiteral("kvtool-cli: 1 of 2 probes cannot be opened by %1").arg(userName));
}

TEST_F(CliDoctor, NoProbeIsExitCodeThree) {
    sysfs.addDevice(QStringLiteral("1-2"), "046d", "c52b", "OTHER", "1", "3");
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.errLines().value(0), u"kvtool-cli: No devices connected");
}

TEST_F(CliDoctor, JsonReportMatchesTheSchema) {
    addProbe("1-1", "3", "K3000001", "2", true);
    addProbe("1-4", "2", "K2000001", "4", false);
    const CliRun run = doctor({QStringLiteral("--json")});
    EXPECT_EQ(run.exitCode, 4);
    const QList<QJsonObject> objects = run.json();
    ASSERT_EQ(objects.size(), 1);
    const QJsonObject& result = objects.first();
    schema::expectSchema(result, schema::DOCTOR_RESULT(), QStringLiteral("doctor"));
    schema::expectNested(result, QStringLiteral("doctor"));
    const QJsonArray probes = result.value(QStringLiteral("probes")).toArray();
    ASSERT_EQ(probes.size(), 2);
    for (const auto& probe : probes) {
        schema::expectSchema(probe.toObject(), schema::ACCESS(), QStringLiteral("doctor probe"));
        schema::expectNested(probe.toObject(), QStringLiteral("doctor probe"));
    }
    EXPECT_TRUE(probes[0][QStringLiteral("accessible")].toBool());
    EXPECT_FALSE(probes[1][QStringLiteral("accessible")].toBool());
    EXPECT_EQ(probes[1][QStringLiteral("node")][QStringLiteral("mode")].toString(), u"0000");
    EXPECT_FALSE(probes[1][QStringLiteral("causes")].toArray().isEmpty());
    EXPECT_FALSE(result[QStringLiteral("udevRule")][QStringLiteral("installed")].toBool());
}

}  // namespace
