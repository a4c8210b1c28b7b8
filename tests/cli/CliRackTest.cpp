// kvtool-cli on many probes at once: install --all (or several --serial) and watch, run
// as a process against racks of emulated probes, one of them faulted.
#include "CliImages.h"
#include "CliRunner.h"
#include "support/FakeLogind.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <functional>
#include <map>
#include <ostream>

namespace {

class CliRack : public ::testing::Test {
protected:
    void SetUp() override {
        gen3Image = writeGen3TestImage(cli.directory(), QStringLiteral("kv3.bin"), GEN3_IMAGE_SIZE);
        writeGen2TestImages(cli.path(QStringLiteral("fw")));
        gen2Image = cli.path(QStringLiteral("fw/kv_alder_max.bin"));
    }
    // Each probe's object of a result, by serial number (several with one serial: the last).
    static std::map<QString, QJsonObject> probesOf(const QJsonObject& result) {
        std::map<QString, QJsonObject> probes;
        for (const QJsonValue& probe : result.value(QLatin1String("probes")).toArray()) {
            probes[probe[QLatin1String("serial")].toString()] = probe.toObject();
        }
        return probes;
    }

    CliRunner cli;
    QString gen3Image;
    QString gen2Image;
};

// What became of one probe: "installed", "skipped", or the message it failed with.
using Outcomes = std::map<QString, QString>;

struct RackCase {
    const char* name;
    const char* emulate;
    bool generation3;
    QStringList choice;  // --all, or the --serial options
    Outcomes outcomes;
    int exitCode;
};

void PrintTo(const RackCase& c, std::ostream* os) {
    *os << c.name;
}

class CliRackInstall : public CliRack, public ::testing::WithParamInterface<RackCase> {};

// Each probe gets its own result: a fault on one fails that one only, the others are
// installed and read again, probes of the other generation are skipped.
TEST_P(CliRackInstall, EachProbeGetsItsOwnResult) {
    const RackCase& c = GetParam();
    cli.emulate(QLatin1String(c.emulate));
    const CliRun run =
        cli.run(QStringList{QStringLiteral("install"), c.generation3 ? gen3Image : gen2Image,
                            QStringLiteral("--json")} +
                c.choice);
    EXPECT_EQ(run.exitCode, c.exitCode) << ::testing::PrintToString(run);
    const QJsonObject result = run.result();
    EXPECT_EQ(result[QStringLiteral("event")], QStringLiteral("result"));
    EXPECT_EQ(result[QStringLiteral("exitCode")], c.exitCode);
    const std::map<QString, QJsonObject> probes = probesOf(result);
    ASSERT_EQ(probes.size(), c.outcomes.size()) << ::testing::PrintToString(run);
    for (const auto& [serial, expected] : c.outcomes) {
        const QJsonObject probe = probes.at(serial);
        const QString outcome = probe[QStringLiteral("result")].toString();
        if (expected == u"installed" || expected == u"skipped") {
            EXPECT_EQ(outcome, expected) << serial.toStdString();
        } else {
            EXPECT_EQ(outcome, QStringLiteral("failed")) << serial.toStdString();
            EXPECT_EQ(probe[QStringLiteral("error")].toString(), expected) << serial.toStdString();
        }
        EXPECT_EQ(probe[QStringLiteral("ok")].toBool(), expected == u"installed");
        if (expected == u"installed") {
            // Read again after the install: the image's version.
            EXPECT_EQ(probe[QStringLiteral("after")][QStringLiteral("versionText")].toString(),
                      c.generation3 ? QStringLiteral("1.4 - cli test") : QStringLiteral("2.12"))
                << serial.toStdString();
        }
    }
    // Every event of a probe names it; the result comes last.
    const QList<QJsonObject> events = run.json();
    for (qsizetype i = 0; i + 1 < events.size(); ++i) {
        EXPECT_TRUE(events[i].contains(QStringLiteral("serial"))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Racks, CliRackInstall,
    ::testing::Values(
        RackCase{"generation3_rack_with_faults",
                 "gen3,gen3:fault=crc-mismatch@2,gen3:fault=unplug@2,gen3:fault=connect-silent@*,"
                 "gen2",
                 true,
                 args({"--all"}),
                 {{"K3000001", "installed"},
                  {"K3000002", "Verify failed : crc check mismatch"},
                  {"K3000003", "Download failed : write timed out"},
                  {"K3000004", "read timed out"},
                  {"K2000001", "skipped"}},
                 1},
        RackCase{"generation2_rack_with_faults",
                 "gen2,gen2:fault=verify@3,gen2:fault=never,gen2:fault=unplug@1000,"
                 "gen2:fault=mute,gen3",
                 false,
                 args({"--all"}),
                 {{"K2000001", "installed"},
                  {"K2000002", "Application download verify failed"},
                  {"K2000003", "Bootloader restore failed"},
                  {"K2000004", "write operation failed"},
                  {"K2000005", "read operation timed out"},
                  {"K3000001", "skipped"}},
                 1},
        // Two generation-2 probes restart through their bootloaders at once; each is
        // followed by its own port.
        RackCase{"two_generation2_probes_at_once",
                 "gen2,gen2",
                 false,
                 args({"--all"}),
                 {{"K2000001", "installed"}, {"K2000002", "installed"}},
                 0},
        RackCase{"probes_named_by_serial",
                 "gen3,gen3,gen3",
                 true,
                 args({"--serial", "K3000001", "--serial", "K3000003", "--serial", "K3000009"}),
                 {{"K3000001", "installed"},
                  {"K3000003", "installed"},
                  {"K3000009", "No device with serial number K3000009 connected"}},
                 3},
        // Failures of different kinds: the status of none of them alone.
        RackCase{"failures_of_different_kinds",
                 "gen3,gen3:fault=crc-mismatch@1",
                 true,
                 args({"--serial", "K3000002", "--serial", "K3000009"}),
                 {{"K3000002", "Verify failed : crc check mismatch"},
                  {"K3000009", "No device with serial number K3000009 connected"}},
                 1},
        RackCase{"same_serial_twice",
                 "gen3:serial=TWIN,gen3:serial=TWIN,gen3:serial=K3000042",
                 true,
                 args({"--all"}),
                 {{"TWIN",
                   "2 probes report the serial number TWIN: none of them is installed, "
                   "a serial number must name one probe"},
                  {"K3000042", "installed"}},
                 3},
        RackCase{"only_probes_of_the_other_generation",
                 "gen2",
                 true,
                 args({"--all"}),
                 {{"K2000001", "skipped"}},
                 3}),
    [](const auto& info) { return std::string(info.param.name); });

// On a pipe one probe among several speaks as one probe alone: the same words for its
// phases, where they start and where they end (bar the time each took), and a dry run names
// the firmware it would install.
TEST_F(CliRack, OnAPipeEachProbeSaysWhatOneProbeAloneSays) {
    static const QRegularExpression phase(
        QStringLiteral("^(Waiting for bootloader to start|Programming|Verifying): "));
    static const QRegularExpression time(QStringLiteral(" in [0-9]+\\.[0-9] s$"));
    const auto phaseLines = [&](const CliRun& run, const QString& prefix) {
        QStringList lines;
        for (const QString& line : run.outLines()) {
            if (line.startsWith(prefix) && phase.match(line.mid(prefix.size())).hasMatch()) {
                lines << line.mid(prefix.size()).remove(time);
            }
        }
        return lines;
    };
    for (const char* fault : {"gen2:fault=verify@3", "gen2:fault=never", "gen2"}) {
        SCOPED_TRACE(fault);
        cli.emulate(QLatin1String(fault));
        const QStringList alone =
            phaseLines(cli.run({QStringLiteral("install"), gen2Image}), QString());
        cli.emulate(QLatin1String(fault) + QStringLiteral(",gen3"));
        const CliRun rack =
            cli.run({QStringLiteral("install"), gen2Image, QStringLiteral("--all")});
        EXPECT_FALSE(alone.isEmpty());
        EXPECT_EQ(phaseLines(rack, QStringLiteral("K2000001: ")), alone) << rack.out.toStdString();
    }
    cli.emulate(QStringLiteral("gen2,gen2"));
    const CliRun dryRun = cli.run({QStringLiteral("install"), gen2Image, QStringLiteral("--all"),
                                   QStringLiteral("--dry-run")});
    EXPECT_TRUE(dryRun.out.contains(
        QStringLiteral("K2000001  planned: 1.5, Birch, Variable Speed and Adaptive -> 2.12, "
                       "Alder, Maximum Speed (dry run: nothing sent)")))
        << dryRun.out.toStdString();
}

TEST_F(CliRack, TwinsAreRefusedBeforeAnythingIsSent) {
    cli.emulate(QStringLiteral("gen3:serial=TWIN,gen3:serial=TWIN"));
    const CliRun run = cli.run({QStringLiteral("install"), gen3Image, QStringLiteral("--all")});
    EXPECT_EQ(run.exitCode, 3);  // as for one of them alone: no single probe to choose
    EXPECT_TRUE(cli.frames().isEmpty());
    EXPECT_TRUE(run.err.contains(QStringLiteral("2 of 2 probes failed"))) << run.err.toStdString();
}

// With --verbose every probe's USB traffic is shown, each line named by the probe's serial
// number; a probe refused at open keeps the USB reason in the table and the JSON result.
TEST_F(CliRack, EachProbeKeepsItsTraceAndItsUsbReason) {
    cli.emulate(QStringLiteral("gen3,gen3:open=fail"));
    const CliRun run = cli.run({QStringLiteral("install"), gen3Image, QStringLiteral("--all"),
                                QStringLiteral("--verbose"), QStringLiteral("--json")});
    EXPECT_EQ(run.exitCode, 1) << ::testing::PrintToString(run);
    const QStringList trace = run.errLines();
    EXPECT_TRUE(trace.filter(QRegularExpression(QStringLiteral("^K3000001: .* out "))).size() > 3)
        << run.err.toStdString();
    EXPECT_FALSE(
        trace.filter(QRegularExpression(QStringLiteral("^K3000002: .*not opened"))).isEmpty())
        << run.err.toStdString();
    const QJsonObject refused = probesOf(run.result()).at(QStringLiteral("K3000002"));
    EXPECT_EQ(refused[QStringLiteral("error")], QStringLiteral("cannot open device driver"));
    EXPECT_FALSE(refused[QStringLiteral("usbError")].toString().isEmpty());
    EXPECT_TRUE(
        probesOf(run.result()).at(QStringLiteral("K3000001"))[QStringLiteral("usbError")].isNull());
}

// A probe of the other generation named by its serial number is refused as it is alone.
TEST_F(CliRack, ProbeOfTheOtherGenerationNamedIsRefused) {
    cli.emulate(QStringLiteral("gen3,gen2"));
    const CliRun run = cli.run({QStringLiteral("install"), gen3Image, QStringLiteral("--serial"),
                                QStringLiteral("K3000001"), QStringLiteral("--serial"),
                                QStringLiteral("K2000001"), QStringLiteral("--json")});
    EXPECT_EQ(run.exitCode, 5) << ::testing::PrintToString(run);
    const QJsonObject refused = probesOf(run.result()).at(QStringLiteral("K2000001"));
    EXPECT_TRUE(refused[QStringLiteral("error")].toString().endsWith(
        QStringLiteral("is a generation-3 image, but the probe K2000001 is generation 2")));
    EXPECT_EQ(probesOf(run.result()).at(QStringLiteral("K3000001"))[QStringLiteral("result")],
              QStringLiteral("installed"));
}

// File names are taken as they are: one that starts with "-", and one that is no UTF-8.
TEST_F(CliRack, FileNamesAreTakenAsTheyAre) {
    cli.emulate(QStringLiteral("gen3,gen3"));
    QFile::copy(gen3Image, cli.path(QStringLiteral("-dash.bin")));
    const QByteArray bad = QFile::encodeName(cli.directory()) + "/bad\xff\xfe.bin";
    const QByteArray copy = "cp '" + QFile::encodeName(gen3Image) + "' '" + bad + "'";
    ASSERT_EQ(::system(copy.constData()), 0);
    const CliRun dash = cli.run({QStringLiteral("install"), QStringLiteral("--all"),
                                 QStringLiteral("--"), QStringLiteral("-dash.bin")});
    EXPECT_EQ(dash.exitCode, 0) << ::testing::PrintToString(dash);
    for (const char* choice : {"--all", "--serial K3000002"}) {
        const CliRun run = cli.runShell(QStringLiteral("exec \"$KVTOOL_CLI\" install ./bad*.bin %1")
                                            .arg(QLatin1String(choice)));
        EXPECT_EQ(run.exitCode, 0) << choice << ::testing::PrintToString(run);
    }
}

// A command that waits: its standard output read as it comes.
class Running {
public:
    explicit Running(std::unique_ptr<QProcess> process) : process(std::move(process)) {}
    ~Running() {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }
    // Waits for a JSON event whose "event" is `kind` (and, with `serial`, of that probe).
    bool waitFor(const QString& kind, const QString& serial = QString(), int timeoutMs = 20000) {
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            for (; seen < events.size(); ++seen) {
                if (events[seen][QStringLiteral("event")] == kind &&
                    (serial.isEmpty() || events[seen][QStringLiteral("serial")] == serial)) {
                    ++seen;
                    return true;
                }
            }
            process->waitForReadyRead(100);
            collect();
        }
        return false;
    }
    int exitCode(int timeoutMs = 30000) {
        if (!process->waitForFinished(timeoutMs)) {
            return -1;
        }
        collect();
        return process->exitCode();
    }
    void send(int signal) {
        // Never 0, which would signal this process's group, once the command has ended.
        if (const pid_t pid = pid_t(process->processId()); pid > 0) {
            ::kill(pid, signal);
        }
    }
    void interrupt() { send(SIGINT); }
    QString standardError() {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);  // lets the pipes be read
        return QString::fromUtf8(process->readAllStandardError());
    }
    QJsonObject last() const { return events.isEmpty() ? QJsonObject() : events.last(); }

private:
    void collect() {
        pending += process->readAllStandardOutput();
        qsizetype end = 0;
        while ((end = pending.indexOf('\n')) >= 0) {
            events << QJsonDocument::fromJson(pending.left(end)).object();
            pending.remove(0, end + 1);
        }
    }

    std::unique_ptr<QProcess> process;
    QByteArray pending;
    QList<QJsonObject> events;
    qsizetype seen = 0;
};

// The lines of a --log file, each parsed.
QList<QJsonObject> recordsIn(const QString& path) {
    QList<QJsonObject> records;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (!line.isEmpty()) {
                records << QJsonDocument::fromJson(line).object();
            }
        }
    }
    return records;
}

// Waits until `done` says so, or `timeoutMs` passed; returns what it said last.
bool eventually(const std::function<bool()>& done, int timeoutMs = 30000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
    return true;
}

void writeControlFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

// Probes plugged in one after another, one of them while another's install runs, one that
// runs the image already: each is installed (or skipped) once, the log gets a line each.
TEST_F(CliRack, WatchInstallsEachProbeAsItIsPluggedIn) {
    const QString control = cli.path(QStringLiteral("probes"));
    // Answers slow enough that an install is still under way when the next probe comes.
    writeControlFile(control, "gen3:latency=150\n");
    cli.emulate(QStringLiteral("@") + control);
    cli.setEnvironment(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("steady"));
    const QString log = cli.path(QStringLiteral("watch.jsonl"));
    Running watch(
        cli.start({QStringLiteral("watch"), gen3Image, QStringLiteral("--json"),
                   QStringLiteral("--count"), QStringLiteral("3"), QStringLiteral("--log"), log}));
    ASSERT_TRUE(watch.waitFor(QStringLiteral("phase"), QStringLiteral("K3000001")));
    writeControlFile(control, "gen3:latency=150\ngen3\n");  // attached mid-install
    ASSERT_TRUE(watch.waitFor(QStringLiteral("probeResult"), QStringLiteral("K3000002")));
    writeControlFile(control, "gen3:latency=150\ngen3\ngen3:version=1.4:desc=cli test\n");
    EXPECT_EQ(watch.exitCode(), 0) << watch.standardError().toStdString();

    const std::map<QString, QJsonObject> probes = probesOf(watch.last());
    ASSERT_EQ(probes.size(), 3u);
    const auto result = [&probes](const char* serial) {
        return probes.at(QLatin1String(serial))[QStringLiteral("result")].toString();
    };
    EXPECT_EQ(result("K3000001"), QStringLiteral("installed"));
    EXPECT_EQ(result("K3000002"), QStringLiteral("installed"));
    EXPECT_EQ(result("K3000003"), QStringLiteral("skipped"));
    QFile records(log);
    ASSERT_TRUE(records.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = records.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 3);
    for (const QByteArray& line : lines) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        for (const char* key :
             {"time", "serial", "port", "before", "after", "result", "error", "seconds"}) {
            EXPECT_TRUE(record.contains(QLatin1String(key))) << key << " in " << line.data();
        }
    }
}

// Ctrl-C lets the install under way end; a second one abandons it and names the probe it
// leaves needing an install: a generation-2 probe in its bootloader, a generation-3 probe
// with a partly written image; for watch and for an install on one probe alike.
TEST_F(CliRack, CtrlCTwiceAbandonsAndNamesWhatItLeaves) {
    const struct {
        const char* emulate;
        QString command;
        QString image;
        QString serial;  // in the events (none for an install on one probe)
    } cases[] = {{"gen2:reboot=3000", QStringLiteral("watch"), gen2Image, "K2000001"},
                 {"gen3:latency=300", QStringLiteral("watch"), gen3Image, "K3000001"},
                 {"gen3:latency=300", QStringLiteral("install"), gen3Image, QString()}};
    cli.setEnvironment(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("steady"));
    for (const auto& c : cases) {
        SCOPED_TRACE(QString(QLatin1String(c.emulate) + u' ' + c.command).toStdString());
        cli.emulate(QLatin1String(c.emulate));
        Running watch(cli.start({c.command, c.image, QStringLiteral("--json")}));
        ASSERT_TRUE(watch.waitFor(QStringLiteral("phase"), c.serial));
        watch.interrupt();
        // Signals of one kind do not queue: the second is sent once the first was taken.
        QString said;
        const QDeadlineTimer deadline(10000);
        while (!said.contains(QStringLiteral("Ctrl-C again")) && !deadline.hasExpired()) {
            QThread::msleep(50);
            said += watch.standardError();
        }
        EXPECT_TRUE(said.contains(QStringLiteral("waiting for the 1 install(s) under way")))
            << said.toStdString();
        watch.interrupt();
        EXPECT_EQ(watch.exitCode(), 1);
        said += watch.standardError();
        const QString probe =
            c.emulate[3] == '2' ? QStringLiteral("K2000001") : QStringLiteral("K3000001");
        EXPECT_TRUE(
            said.contains(QStringLiteral("left in their bootloader or with a partly written "
                                         "image (install on them again): ") +
                          probe))
            << said.toStdString();
        EXPECT_EQ(watch.last()[QStringLiteral("exitCode")], 1);
    }

    // Nothing under way: one Ctrl-C ends it.
    cli.emulate(QString());
    Running idle(cli.start({QStringLiteral("watch"), gen3Image}));
    QThread::msleep(500);
    idle.interrupt();
    EXPECT_EQ(idle.exitCode(5000), 0);
}

// watch holds off sleep and shutdown while an install runs, not while it waits for probes;
// Ctrl-C lets the install under way end and then releases its lock.
TEST_F(CliRack, WatchHoldsOffSleepOnlyWhileItInstalls) {
    const FakeLogind logind;
    ASSERT_TRUE(logind.running()) << logind.whyNot().toStdString();
    cli.setEnvironment(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), logind.address());
    const QString control = cli.path(QStringLiteral("probes"));
    writeControlFile(control, "gen3:latency=100\n");
    cli.emulate(QStringLiteral("@") + control);
    cli.setEnvironment(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("steady"));
    Running watch(cli.start({QStringLiteral("watch"), gen3Image, QStringLiteral("--json")}));
    ASSERT_TRUE(watch.waitFor(QStringLiteral("phase"), QStringLiteral("K3000001")));
    EXPECT_EQ(logind.inhibitors(), 1);
    ASSERT_TRUE(watch.waitFor(QStringLiteral("probeResult"), QStringLiteral("K3000001")));
    EXPECT_EQ(logind.inhibitors(), 0);  // waiting for the next probe

    writeControlFile(control, "gen3:latency=100\ngen3:latency=100\n");
    ASSERT_TRUE(watch.waitFor(QStringLiteral("phase"), QStringLiteral("K3000002")));
    EXPECT_EQ(logind.inhibitors(), 1);
    watch.interrupt();
    EXPECT_EQ(watch.exitCode(), 0) << watch.standardError().toStdString();
    EXPECT_EQ(logind.inhibitors(), 0);
    EXPECT_EQ(logind.inhibitCalls().size(), 2);
}

// An update installs and records the image as it was read when it was chosen, whatever
// becomes of its file meanwhile: here it is overwritten, in place, during the install.
TEST_F(CliRack, AnImageThatChangesAfterItWasChosenIsNotWhatIsInstalled) {
    cli.emulate(QStringLiteral("gen3:latency=100"));
    cli.setEnvironment(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("steady"));
    const QString folder = cli.path(QStringLiteral("fw"));
    const QString path = writeGen3TestImage(folder, QStringLiteral("kv3.bin"), GEN3_IMAGE_SIZE, 1,
                                            5, QStringLiteral("chosen"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString chosen = QString::fromLatin1(
        QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
    file.close();
    const QString log = cli.path(QStringLiteral("records.jsonl"));
    Running update(cli.start({QStringLiteral("update"), QStringLiteral("--firmware-dir"), folder,
                              QStringLiteral("--json"), QStringLiteral("--log"), log}));
    ASSERT_TRUE(update.waitFor(QStringLiteral("phase"), QStringLiteral("K3000001")));
    const QString other = writeGen3TestImage(cli.directory(), QStringLiteral("other.bin"),
                                             GEN3_IMAGE_SIZE, 1, 9, QStringLiteral("changed"));
    QFile original(other);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly) && file.open(QIODevice::WriteOnly));
    file.write(original.readAll());
    file.close();
    EXPECT_EQ(update.exitCode(), 0) << update.standardError().toStdString();

    const QJsonObject probe = probesOf(update.last()).at(QStringLiteral("K3000001"));
    EXPECT_EQ(probe[QStringLiteral("after")][QStringLiteral("versionText")],
              QStringLiteral("1.5 - chosen"));
    EXPECT_EQ(probe[QStringLiteral("sha256")], chosen);
    const QList<QJsonObject> records = recordsIn(log);
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records.first()[QStringLiteral("sha256")], chosen);
}

// The station service's command line as its unit writes it, with a configuration file of
// the documented form in place of /etc/kvtool/watch-NAME.conf: systemd reads the file's
// KEY=VALUE lines and puts each $KEY of ExecStart in, split at white space (an unset one
// is no argument at all). Once with an image file, once with a target and clocking.
TEST_F(CliRack, TheServiceCommandLineWatchesAsItsConfigurationSays) {
    QFile unit(QStringLiteral(KVTOOL_SOURCE_DIR "/packaging/kvtool-watch@.service"));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    QString execStart;
    QString environmentFile;
    for (const QString& line : QString::fromUtf8(unit.readAll()).split(u'\n')) {
        if (line.startsWith(QStringLiteral("ExecStart="))) {
            execStart = line.mid(10);
        } else if (line.startsWith(QStringLiteral("EnvironmentFile="))) {
            environmentFile = line.mid(16);
        }
    }
    EXPECT_EQ(environmentFile, QStringLiteral("/etc/kvtool/watch-%i.conf"));
    const QStringList words = execStart.split(u' ', Qt::SkipEmptyParts);
    ASSERT_GE(words.size(), 2);
    EXPECT_EQ(words.first(), QStringLiteral("/usr/bin/kvtool-cli"));

    const QString log = cli.path(QStringLiteral("station.jsonl"));
    const struct {
        const char* emulate;
        QString configuration;
        const char* after;
    } stations[] = {
        {"gen3",
         QStringLiteral("# line 1\nIMAGE=%1\n\nOPTIONS=--count 1 --log %2\n").arg(gen3Image, log),
         "1.4 - cli test"},
        {"gen2",
         QStringLiteral("OPTIONS=--target alder --clocking max --firmware-dir %1  --count 1 "
                        "--log %2\n")
             .arg(cli.path(QStringLiteral("fw")), log),
         "2.12"}};
    for (const auto& station : stations) {
        SCOPED_TRACE(station.emulate);
        QMap<QString, QString> values;
        for (const QString& line : station.configuration.split(u'\n')) {
            if (!line.isEmpty() && !line.startsWith(u'#')) {
                values.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
            }
        }
        QStringList arguments;
        for (const QString& word : words.mid(1)) {
            if (word.startsWith(u'$')) {
                arguments << values.value(word.mid(1)).split(u' ', Qt::SkipEmptyParts);
            } else {
                arguments << word;
            }
        }
        cli.emulate(QLatin1String(station.emulate));
        const CliRun run = cli.run(arguments);
        EXPECT_EQ(run.exitCode, 0) << arguments.join(u' ').toStdString() << "\n"
                                   << ::testing::PrintToString(run);
        const QList<QJsonObject> records = recordsIn(log);
        ASSERT_FALSE(records.isEmpty());
        EXPECT_EQ(records.last()[QStringLiteral("after")][QStringLiteral("versionText")],
                  QLatin1String(station.after));
    }
    EXPECT_EQ(recordsIn(log).size(), 2);
}

// ---- Signals during a generation-2 download ------------------------------------------------

struct SignalCase {
    const char* name;
    int signal;
    bool all;  // install --all on two probes; else install on one
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

class CliSignal : public CliRack, public ::testing::WithParamInterface<SignalCase> {};

// A terminal that hangs up, or a service manager that ends the command, while the probes
// wait for their bootloaders: every download under way goes on to its EndDownload, its
// record is written and the command ends by itself with the status of the results. The
// processes of the probes of an install on several finish them even when the process that
// started them is killed, and write their records themselves.
TEST_P(CliSignal, LetsTheDownloadsUnderWayFinishAndKeepsTheirRecords) {
    const SignalCase& c = GetParam();
    cli.emulate(QLatin1String(c.all ? "gen2:reboot=300,gen2:reboot=300" : "gen2:reboot=300"));
    cli.setEnvironment(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("steady"));
    const QString log = cli.path(QStringLiteral("records.jsonl"));
    QStringList arguments{QStringLiteral("install"), gen2Image, QStringLiteral("--json"),
                          QStringLiteral("--log"), log};
    const QStringList serials = c.all ? args({"K2000001", "K2000002"}) : args({""});
    if (c.all) {
        arguments << QStringLiteral("--all");
    }
    Running install(cli.start(arguments));
    for (const QString& serial : serials) {
        ASSERT_TRUE(install.waitFor(QStringLiteral("phase"), serial)) << serial.toStdString();
    }
    install.send(c.signal);
    if (c.signal != SIGKILL) {
        EXPECT_EQ(install.exitCode(), 0) << install.standardError().toStdString();
        EXPECT_EQ(install.last()[QStringLiteral("event")], QStringLiteral("result"));
    }
    const auto endDownloads = [this] { return firstBytes(cli.sent()).count(0x82); };
    EXPECT_TRUE(eventually([&] { return endDownloads() == serials.size(); }))
        << endDownloads() << " EndDownload sent";
    const QList<QJsonObject> records = recordsIn(log);
    ASSERT_EQ(records.size(), serials.size());
    for (const QJsonObject& record : records) {
        EXPECT_EQ(record[QStringLiteral("result")], QStringLiteral("installed"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, CliSignal,
    ::testing::Values(SignalCase{"hang_up_of_an_install", SIGHUP, false},
                      SignalCase{"termination_of_an_install", SIGTERM, false},
                      SignalCase{"hang_up_of_an_install_on_several", SIGHUP, true},
                      SignalCase{"quit_of_an_install_on_several", SIGQUIT, true},
                      SignalCase{"kill_of_an_install_on_several", SIGKILL, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Two watch processes on one bus: each probe is installed once, by the watch that took it
// first; the other says who has it and counts it as skipped.
TEST_F(CliRack, TwoWatchesOnOneBusInstallEachProbeOnce) {
    const QString control = cli.path(QStringLiteral("probes"));
    // Answers slow enough that both installs of the first watch are under way when the
    // second one starts.
    writeControlFile(control, "gen3:latency=300\ngen3:latency=300\n");
    cli.emulate(QStringLiteral("@") + control);
    cli.setEnvironment(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("steady"));
    const QString log = cli.path(QStringLiteral("records.jsonl"));
    const QStringList arguments{QStringLiteral("watch"),
                                gen3Image,
                                QStringLiteral("--json"),
                                QStringLiteral("--count"),
                                QStringLiteral("2"),
                                QStringLiteral("--log"),
                                log};
    Running first(cli.start(arguments));
    for (const char* serial : {"K3000001", "K3000002"}) {
        ASSERT_TRUE(first.waitFor(QStringLiteral("phase"), QLatin1String(serial))) << serial;
    }
    Running second(cli.start(arguments));
    EXPECT_EQ(second.exitCode(), 0) << second.standardError().toStdString();
    EXPECT_EQ(first.exitCode(), 0) << first.standardError().toStdString();

    std::map<QString, int> installed;
    for (Running* watch : {&first, &second}) {
        for (const auto& [serial, probe] : probesOf(watch->last())) {
            const QString result = probe[QStringLiteral("result")].toString();
            installed[serial] += result == u"installed" ? 1 : 0;
            if (watch == &second) {
                EXPECT_EQ(result, QStringLiteral("skipped")) << serial.toStdString();
                EXPECT_TRUE(probe[QStringLiteral("error")].toString().startsWith(
                    QStringLiteral("probe %1 is in use by PID ").arg(serial)))
                    << probe[QStringLiteral("error")].toString().toStdString();
            }
        }
    }
    EXPECT_EQ(installed, (std::map<QString, int>{{QStringLiteral("K3000001"), 1},
                                                 {QStringLiteral("K3000002"), 1}}));
    EXPECT_EQ(recordsIn(log).size(), 4);
}

}  // namespace
