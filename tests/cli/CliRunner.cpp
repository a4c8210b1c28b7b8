#include "CliRunner.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>

#include <gtest/gtest.h>

#include <grp.h>
#include <unistd.h>

namespace {

constexpr int RUN_TIMEOUT_MS = 120000;
constexpr uid_t NOBODY = 65534;

}  // namespace

QStringList CliRun::outLines() const {
    return out.split(u'\n', Qt::SkipEmptyParts);
}

QStringList CliRun::errLines() const {
    return err.split(u'\n', Qt::SkipEmptyParts);
}

QList<QJsonObject> CliRun::json() const {
    QList<QJsonObject> objects;
    for (const QString& line : outLines()) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << "not JSON: " << line.toStdString();
        EXPECT_TRUE(document.isObject()) << "not an object: " << line.toStdString();
        objects << document.object();
    }
    return objects;
}

QJsonObject CliRun::result() const {
    const QList<QJsonObject> objects = json();
    return objects.isEmpty() ? QJsonObject() : objects.last();
}

void PrintTo(const CliRun& run, std::ostream* os) {
    *os << "exit " << run.exitCode << "\n--- stdout\n"
        << run.out.toStdString() << "--- stderr\n"
        << run.err.toStdString();
}

CliRunner::CliRunner() {
    // Readable by the unprivileged user that some tests run the command as.
    QFile::setPermissions(scratch.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                              QFileDevice::ExeGroup);
}

QProcessEnvironment CliRunner::environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"KVTOOL_EMULATE", "KVTOOL_EMULATE_LOG", "KVTOOL_CLOCK",
                             "KVTOOL_SYSFS_ROOT", "KVTOOL_DEVICE_NODE_ROOT",
                             "KVTOOL_UDEV_RULES_DIRS", "XDG_SEAT", "SSH_CONNECTION", "SSH_TTY"}) {
        environment.remove(QLatin1String(name));
    }
    if (!emulated.isEmpty()) {
        environment.insert(QStringLiteral("KVTOOL_EMULATE"), emulated);
        environment.insert(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("virtual"));
        environment.insert(QStringLiteral("KVTOOL_EMULATE_LOG"),
                           path(QStringLiteral("frames.log")));
    }
    // The firmware folders of this machine stay out of the tests: the user's and the
    // system's are the scratch directory's own, "home-share" and "share".
    environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("home-share")));
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), path(QStringLiteral("share")));
    environment.insert(extra);
    return environment;
}

std::unique_ptr<QProcess> CliRunner::start(const QStringList& arguments) {
    QFile::remove(path(QStringLiteral("frames.log")));
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    process->setWorkingDirectory(scratch.path());
    process->start(QStringLiteral(KVTOOL_CLI_PATH), arguments);
    return process;
}

CliRun CliRunner::runShell(const QString& script) {
    extra.insert(QStringLiteral("KVTOOL_CLI"), QStringLiteral(KVTOOL_CLI_PATH));
    const CliRun result = run({QStringLiteral("-c"), script}, QStringLiteral("/bin/sh"));
    extra.remove(QStringLiteral("KVTOOL_CLI"));
    return result;
}

CliRun CliRunner::run(const QStringList& arguments) {
    return run(arguments, QStringLiteral(KVTOOL_CLI_PATH));
}

CliRun CliRunner::run(const QStringList& arguments, const QString& program) {
    QFile::remove(path(QStringLiteral("frames.log")));
    QProcess process;
    process.setProcessEnvironment(environment());
    process.setWorkingDirectory(scratch.path());
    if (unprivileged && ::geteuid() == 0) {
        process.setChildProcessModifier([] {
            // Between fork and exec: only async-signal-safe calls. A failure ends the child.
            if (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) {
                ::_exit(127);
            }
        });
    }
    process.start(program, arguments);
    CliRun result;
    if (!process.waitForFinished(RUN_TIMEOUT_MS)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "kvtool-cli did not finish: " << arguments.join(u' ').toStdString();
        return result;
    }
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "kvtool-cli crashed";
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QList<ExportedFrame> CliRunner::frames() const {
    QList<ExportedFrame> frames;
    QFile file(path(QStringLiteral("frames.log")));
    if (!file.open(QIODevice::ReadOnly)) {
        return frames;  // no emulated bus was set up
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.isEmpty()) {
            continue;
        }
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 6) {
            ADD_FAILURE() << "malformed frame line: " << line.toStdString();
            continue;
        }
        ExportedFrame frame;
        frame.device = fields[0].toInt();
        frame.serial = QString::fromUtf8(fields[1]);
        frame.kind = QString::fromUtf8(fields[2]);
        frame.outcome = QString::fromUtf8(fields[3]);
        frame.bytes = fields[5] == "-" ? QByteArray() : QByteArray::fromHex(fields[5]);
        frames << frame;
    }
    return frames;
}

bool CliRunner::frameLogExported() const {
    return QFile::exists(path(QStringLiteral("frames.log")));
}

QList<QByteArray> CliRunner::sent() const {
    QList<QByteArray> bytes;
    for (const ExportedFrame& frame : frames()) {
        if (frame.kind == u"bulk-out") {
            bytes << frame.bytes;
        }
    }
    return bytes;
}

QStringList args(std::initializer_list<const char*> list) {
    QStringList result;
    for (const char* item : list) {
        result << QLatin1String(item);
    }
    return result;
}

QList<int> firstBytes(const QList<QByteArray>& frames) {
    QList<int> codes;
    for (const QByteArray& frame : frames) {
        codes << (frame.isEmpty() ? -1 : quint8(frame.front()));
    }
    return codes;
}
