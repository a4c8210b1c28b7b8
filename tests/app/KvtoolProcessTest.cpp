// The real kvtool as a process: its start-up argument, how it ends, a failed start, and
// the single-instance guard as a user meets it. Windows are driven from outside on a
// private X server (X11Session); tests that need no window run on Qt's offscreen platform.
#include "X11Session.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <functional>
#include <ostream>

namespace {

constexpr const char* MAIN_TITLE = "Brenmoor Korvane Configurer";

// One kvtool run with a private runtime directory, so it never meets another kvtool.
class Kvtool {
public:
    Kvtool(const QStringList& arguments, const QMap<QString, QString>& variables) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime());
        for (auto it = variables.begin(); it != variables.end(); ++it) {
            if (it.value().isNull()) {
                environment.remove(it.key());
            } else {
                environment.insert(it.key(), it.value());
            }
        }
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(KVTOOL_EXECUTABLE), arguments);
    }
    ~Kvtool() {
        if (process.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(process.processId()), SIGCONT);
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // The exit code of a normal exit within `timeoutMs`, else -1.
    int exitCode(int timeoutMs = 15000) {
        if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit) {
            return -1;
        }
        return process.exitCode();
    }
    // What it wrote to standard error since the last call (waiting briefly for more).
    QString standardError() {
        process.waitForReadyRead(20);
        return QString::fromLocal8Bit(process.readAllStandardError());
    }
    void signal(int number) { ::kill(static_cast<pid_t>(process.processId()), number); }

    // The runtime directory shared by the instances of one test.
    static QString runtime() {
        static QTemporaryDir directory;
        return directory.path();
    }

private:
    QProcess process;
};

QString socketIn(const QString& directory) {
    const QStringList sockets =
        QDir(directory).entryList({QStringLiteral("kvtool-*.socket")}, QDir::System);
    return sockets.isEmpty() ? QString() : QDir(directory).filePath(sockets.first());
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 15000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

class KvtoolOnX11 : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(x11.display().isEmpty()) << "Xvfb did not start"; }

    QMap<QString, QString> environment(const QString& emulate) const {
        QMap<QString, QString> variables{
            {QStringLiteral("DISPLAY"), x11.display()},
            {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")},
            {QStringLiteral("KVTOOL_EMULATE"), emulate},
            {QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("virtual")},
            {QStringLiteral("KVTOOL_EMULATE_LOG"), frameLog()}};
        // libxkbcommon-x11 hands strndup a name that is not terminated within its buffer,
        // which AddressSanitizer's strict string checks take for an overflow.
        if (qEnvironmentVariableIsSet("ASAN_OPTIONS")) {
            variables.insert(
                QStringLiteral("ASAN_OPTIONS"),
                qEnvironmentVariable("ASAN_OPTIONS") + QStringLiteral(":strict_string_checks=0"));
        }
        return variables;
    }
    QString frameLog() const { return files.filePath(QStringLiteral("frames.log")); }
    QByteArray frames() const {
        QFile file(frameLog());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QString firmware() const {
        const QString directory = files.filePath(QStringLiteral("firmware"));
        QProcess tool;
        tool.start(QStringLiteral(KV2_IMAGE_TOOL), {QStringLiteral("--demo"), directory});
        EXPECT_TRUE(tool.waitForFinished());
        return directory;
    }

    X11Session x11;
    QTemporaryDir files;
};

struct DirectoryCase {
    const char* name;
    bool withArgument;  // the images' directory as the argument; else none at all
    bool installs;      // the page finds its image and installs it
};

void PrintTo(const DirectoryCase& c, std::ostream* os) {
    *os << c.name;
}

class StartupArgument : public KvtoolOnX11, public ::testing::WithParamInterface<DirectoryCase> {};

// The argument is where the generation-2 page looks for its image: installed from there
// with it, and without it looked for beside the program, where there is none ("Error").
// Closing the window then ends kvtool with 0.
TEST_P(StartupArgument, IsTheDirectoryOfTheGeneration2Images) {
    const QString directory = firmware();
    Kvtool kvtool(GetParam().withArgument ? QStringList{directory} : QStringList{},
                  environment(QStringLiteral("gen2")));
    const auto window = x11.waitForWindow(QLatin1String(MAIN_TITLE));
    ASSERT_TRUE(window);
    // Once the probe is shown, Alt+I clicks "&Install Firmware".
    QThread::msleep(500);
    ASSERT_TRUE(x11.typeInto(*window, QStringLiteral("alt+i")));
    if (GetParam().installs) {
        QThread::msleep(3000);  // virtual time: the download itself is quick
    } else {
        const auto box = x11.waitForWindow(QStringLiteral("Error"));
        ASSERT_TRUE(box) << "no warning about the missing image";
        ASSERT_TRUE(x11.close(*box));
    }
    ASSERT_TRUE(x11.close(*window));
    EXPECT_EQ(kvtool.exitCode(), 0) << kvtool.standardError().toStdString();
    const QByteArray log = frames();
    EXPECT_FALSE(log.isEmpty());
    // EndDownload went out only when the image was found.
    static const QRegularExpression endDownload(QStringLiteral(" bulk-out completed \\d+ 82"));
    EXPECT_EQ(QString::fromLatin1(log).contains(endDownload), GetParam().installs);
}

INSTANTIATE_TEST_SUITE_P(Kvtool, StartupArgument,
                         ::testing::Values(DirectoryCase{"argument", true, true},
                                           DirectoryCase{"no_argument", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A start that cannot build its window (here: an emulator described wrongly) says so in
// the "Error" box and ends with 0 once the box is closed, without running on windowless.
TEST_F(KvtoolOnX11, AFailedStartShowsErrorAndEndsWithZero) {
    Kvtool kvtool({}, environment(QStringLiteral("gen4")));
    const auto box = x11.waitForWindow(QStringLiteral("Error"));
    ASSERT_TRUE(box);
    EXPECT_FALSE(x11.waitForWindow(QLatin1String(MAIN_TITLE), 500));
    ASSERT_TRUE(x11.close(*box));
    EXPECT_EQ(kvtool.exitCode(), 0);
}

QMap<QString, QString> offscreen() {
    return {{QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")},
            {QStringLiteral("KVTOOL_EMULATE"), QStringLiteral("gen3")}};
}

// The running kvtool is stopped (SIGSTOP) and never answers: a second start still ends
// with 0, after the hand-over's time-out of about five seconds.
TEST(KvtoolProcess, ASecondStartEndsWhenTheRunningOneDoesNotAnswer) {
    QTemporaryDir runtime;
    QMap<QString, QString> variables = offscreen();
    variables.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    Kvtool first({}, variables);
    ASSERT_TRUE(waitUntil([&] { return !socketIn(runtime.path()).isEmpty(); }));
    first.signal(SIGSTOP);
    QElapsedTimer clock;
    clock.start();
    Kvtool second({QStringLiteral("/fw")}, variables);
    EXPECT_EQ(second.exitCode(10000), 0);
    EXPECT_GE(clock.elapsed(), 4500);
    EXPECT_LT(clock.elapsed(), 8000);
    first.signal(SIGCONT);
}

// No private place for the socket (its fallback name taken by a symbolic link): kvtool
// says on standard error that the guard is off, and why, and runs all the same.
TEST(KvtoolProcess, WithoutAPrivateSocketPlaceTheGuardIsOffAndSaysSo) {
    QTemporaryDir temporary;
    const QString taken =
        QDir(temporary.path()).filePath(QStringLiteral("kvtool-%1").arg(::getuid()));
    ASSERT_TRUE(QFile::link(temporary.path(), taken));
    QMap<QString, QString> variables = offscreen();
    variables.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString());
    variables.insert(QStringLiteral("TMPDIR"), temporary.path());
    Kvtool kvtool({}, variables);
    QString said;
    EXPECT_TRUE(waitUntil([&] {
        said += kvtool.standardError();
        return said.contains(u'\n');
    }));
    EXPECT_TRUE(said.contains(QStringLiteral("single-instance guard off"))) << said.toStdString();
    EXPECT_TRUE(said.contains(taken)) << said.toStdString();
    EXPECT_EQ(kvtool.exitCode(1000), -1);  // still running
}

}  // namespace
