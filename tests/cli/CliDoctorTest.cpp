// kvtool-cli doctor against a fake sysfs tree, fake device nodes and fake udev rule
// directories. When the tests run as root the command runs as "nobody", so that the nodes'
// permissions apply to it.

#include "CliRunner.h"
#include "JsonSchema.h"
#include "device/PosixAcl.h"
#include "support/AclBytes.h"
#include "support/FakeSysfs.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr QFileDevice::Permissions READABLE_DIRECTORY =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
constexpr uid_t DOCTOR_USER = 65534;     // nobody, whom the doctor runs as under root
constexpr uid_t KEEP_OWNER = uid_t(-1);  // the node keeps the owner and group it was made with
constexpr gid_t PLUGDEV_GROUP = 46;      // a system group, as Debian numbers it
constexpr gid_t USER_GROUP = 4242;       // a group of users, as groupadd numbers one
constexpr quint16 READ_WRITE = PosixAcl::READ | PosixAcl::WRITE;

// The ACL that systemd-logind leaves on a uaccess-tagged node for the user at the seat.
QByteArray aclFor(quint32 uid) {
    return aclBytes(PosixAcl::VERSION, {{PosixAcl::TAG_USER_OBJ, READ_WRITE, 0},
                                        {PosixAcl::TAG_USER, READ_WRITE, uid},
                                        {PosixAcl::TAG_GROUP_OBJ, READ_WRITE, 0},
                                        {PosixAcl::TAG_MASK, READ_WRITE, 0},
                                        {PosixAcl::TAG_OTHER, 0, 0}});
}

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
        const passwd* user = ::getpwuid(::geteuid() == 0 ? DOCTOR_USER : ::geteuid());
        userName = QString::fromLocal8Bit(user != nullptr ? user->pw_name : "?");
    }
    void TearDown() override {
        if (holder.state() != QProcess::NotRunning) {
            holder.kill();
            holder.waitForFinished();
        }
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
    // A process of the user the doctor runs as that holds `node` open; its process id.
    qint64 holdOpen(const QString& node) {
        if (::geteuid() == 0) {
            holder.setChildProcessModifier([] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(DOCTOR_USER) != 0 ||
                    ::setuid(DOCTOR_USER) != 0) {
                    ::_exit(127);
                }
            });
        }
        // Started once it runs as sleep, the node open as its input: no moment in which
        // /proc names another program.
        holder.setStandardInputFile(node);
        holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        EXPECT_TRUE(holder.waitForStarted(10000)) << "the holder did not start";
        return holder.processId();
    }

    CliRunner cli;
    FakeSysfs sysfs;
    QString userName;
    QProcess holder;
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

TEST_F(CliDoctor, MaskedRuleIsNamed) {
    addProbe("1-1", "3", "K3000001", "2", false);
    installRule("lib-rules");
    const QString mask = cli.path(QStringLiteral("etc-rules/60-kvtool.rules"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), mask));
    cli.setEnvironment(QStringLiteral("XDG_SEAT"), QStringLiteral("seat0"));
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_TRUE(
        run.out.contains(QStringLiteral("the udev rule 60-kvtool.rules is masked by %1").arg(mask)))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("udev rule: masked by %1").arg(mask)));
    EXPECT_TRUE(run.out.contains(QStringLiteral("remove the mask: sudo rm %1").arg(mask)));
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

// ---- Node owners, modes and ACLs, seats, and a node in use ---------------------------------

struct NodeCase {
    const char* name;
    uid_t owner;
    gid_t group;
    mode_t mode;
    bool aclForTheUser;  // logind's ACL names the user the doctor runs as
    bool aclForAnother;  // it names another user (the one at the seat)
    const char* ruleIn;  // "etc-rules", "lib-rules" or null
    const char* seat;    // XDG_SEAT, or null for a session without one
    bool heldOpen;       // a process of the user holds the node open
    int exitCode;
    QStringList says;       // in standard output, with %1 the user, %2 the holder's pid
    QStringList neverSays;  // advice that must not be given
};

void PrintTo(const NodeCase& c, std::ostream* os) {
    *os << c.name;
}

class CliDoctorNode : public CliDoctor, public ::testing::WithParamInterface<NodeCase> {};

TEST_P(CliDoctorNode, SaysWhyAndHowToFixItEachFixOnce) {
    const NodeCase& c = GetParam();
    if (::geteuid() != 0 && c.owner != KEEP_OWNER) {
        GTEST_SKIP() << "giving a node to another owner needs root";
    }
    const QString node = addProbe("1-1", "3", "K3000001", "2", true);
    const QByteArray name = QFile::encodeName(node);
    ASSERT_EQ(::chown(name.constData(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(name.constData(), c.mode), 0);
    if (c.aclForTheUser || c.aclForAnother) {
        const QByteArray acl = aclFor(c.aclForTheUser ? DOCTOR_USER : 1000);
        if (::setxattr(name.constData(), PosixAcl::ATTRIBUTE, acl.constData(), size_t(acl.size()),
                       0) != 0) {
            GTEST_SKIP() << "no ACLs on this file system";
        }
    }
    if (c.ruleIn != nullptr) {
        installRule(c.ruleIn);
    }
    if (c.seat != nullptr) {
        cli.setEnvironment(QStringLiteral("XDG_SEAT"), QLatin1String(c.seat));
    }
    const qint64 pid = c.heldOpen ? holdOpen(node) : 0;
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, c.exitCode) << ::testing::PrintToString(run);
    for (const QString& text : c.says) {
        const QString expected = QString(text)
                                     .replace(QStringLiteral("%1"), userName)
                                     .replace(QStringLiteral("%2"), QString::number(pid));
        EXPECT_TRUE(run.out.contains(expected)) << expected.toStdString() << "\n"
                                                << run.out.toStdString();
    }
    for (const QString& text : c.neverSays) {
        EXPECT_FALSE(run.out.contains(text)) << text.toStdString() << "\n" << run.out.toStdString();
    }
    QStringList fixes;
    for (const QString& line : run.outLines()) {
        if (line.startsWith(QStringLiteral("  fix:   "))) {
            EXPECT_FALSE(fixes.contains(line)) << "given twice: " << line.toStdString();
            fixes << line;
        }
    }
}

const QStringList NO_SYSTEM_GROUP{QStringLiteral("usermod -aG root"),
                                  QStringLiteral("usermod -aG plugdev")};

INSTANTIATE_TEST_SUITE_P(
    Nodes, CliDoctorNode,
    ::testing::Values(
        // A node without our rule: the uaccess rule is the advice, never the group root.
        NodeCase{"root_root_0664_without_the_rule", 0, 0, 0664, false, false, nullptr, "seat0",
                 false, 4,
                 args({"with mode 0664 (rw-rw-r--), which gives %1 no read and write access",
                       "the group root may open it, but it is a system group",
                       "the udev rule 60-kvtool.rules is not installed",
                       "sudo install -m 644 packaging/60-kvtool.rules /etc/udev/rules.d/",
                       "sudo udevadm control --reload-rules", "plug it in again"}),
                 NO_SYSTEM_GROUP + args({"usermod"})},
        // Without a seat the rule cannot serve: a group of our own, never plugdev.
        NodeCase{"root_plugdev_0660_without_a_seat", 0, PLUGDEV_GROUP, 0660, false, false,
                 "lib-rules", nullptr, false, 4,
                 args({"belongs to root:plugdev with mode 0660",
                       "the group plugdev may open it, but it is a system group",
                       "this session has none", "sudo groupadd kvtool",
                       "/etc/udev/rules.d/61-kvtool-group.rules holding:", "GROUP=\"kvtool\"",
                       "sudo usermod -aG kvtool %1, then log in again"}),
                 NO_SYSTEM_GROUP},
        NodeCase{"root_plugdev_0660_without_the_rule_or_a_seat", 0, PLUGDEV_GROUP, 0660, false,
                 false, nullptr, nullptr, false, 4,
                 args({"sudo groupadd kvtool", "sudo usermod -aG kvtool %1"}), NO_SYSTEM_GROUP},
        // A group of users may be joined: that is the first fix.
        NodeCase{"a_group_of_users", 0, USER_GROUP, 0660, false, false, "etc-rules", "seat0", false,
                 4,
                 args({"the group 4242 may open it, but %1 is not a member",
                       "fix:   join the group 4242: sudo usermod -aG 4242 %1, then log in again"}),
                 NO_SYSTEM_GROUP},
        NodeCase{"acl_for_the_user", 0, 0, 0660, true, false, "etc-rules", "seat0", false, 0,
                 args({"ok, %1 can open it"}), args({"cause:", "fix:"})},
        NodeCase{
            "acl_for_the_user_at_the_seat", 0, 0, 0660, false, true, "etc-rules", "seat0", false, 4,
            args({"mode 0660 (rw-rw----) and an ACL", "the rule was not applied to this probe yet",
                  "sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=131b"}),
            NO_SYSTEM_GROUP + args({"groupadd"})},
        // Open to the user, but another program holds it: named, with the way out.
        NodeCase{"held_open_by_another_program",
                 DOCTOR_USER,
                 DOCTOR_USER,
                 0666,
                 false,
                 false,
                 "etc-rules",
                 "seat0",
                 true,
                 1,
                 args({"ok, %1 can open it; in use by PID %2 (sleep)",
                       "cause: it is in use by PID %2 (sleep): an install would fail with "
                       "\"device already in use\""}),
                 {}}),
    [](const ::testing::TestParamInfo<NodeCase>& info) { return std::string(info.param.name); });

TEST_F(CliDoctor, AFixForSeveralProbesIsGivenOnce) {
    addProbe("1-1", "3", "K3000001", "2", false);
    addProbe("1-4", "2", "K2000001", "4", false);
    cli.setEnvironment(QStringLiteral("XDG_SEAT"), QStringLiteral("seat0"));
    const CliRun run = doctor();
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_EQ(run.out.count(QStringLiteral("sudo install -m 644 packaging/60-kvtool.rules")), 1)
        << run.out.toStdString();
    EXPECT_EQ(run.out.count(QStringLiteral("  fix:   as for the probe above")), 1);
    EXPECT_EQ(run.out.count(QStringLiteral("the udev rule 60-kvtool.rules is not installed")), 2);
}

}  // namespace
