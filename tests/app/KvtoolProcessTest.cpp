// The real kvtool as a process: its start-up argument, how it ends, a failed start, and
// the single-instance guard as a user meets it, on X11 and on Wayland. Windows are driven
// from outside on a private X server (X11Session) or a headless Wayland compositor
// (WaylandSession); tests that need no window run on Qt's offscreen platform.
#include "WaylandSession.h"
#include "X11Session.h"

#include "app/WaylandActivationToken.h"

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

#include <cstring>
#include <functional>
#include <ostream>

namespace {

constexpr const char* MAIN_TITLE = "Brenmoor Korvane Configurer";

// One kvtool run with a private runtime directory, so it never meets another kvtool.
class Kvtool {
public:
    Kvtool(const QStringList& arguments, const QMap<QString, QString>& variables,
           const QString& program = QStringLiteral(KVTOOL_EXECUTABLE)) {
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
        process.start(program, arguments);
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
    // For a failure's message: whether it still runs, and what it wrote to standard error.
    std::string whatItDid() {
        const QString state = process.state() != QProcess::NotRunning
                                  ? QStringLiteral("still running")
                                  : QStringLiteral("ended (status %1, %2)")
                                        .arg(process.exitCode())
                                        .arg(process.exitStatus() == QProcess::NormalExit
                                                 ? QStringLiteral("normal exit")
                                                 : QStringLiteral("crashed"));
        return QString(state + QStringLiteral("; standard error:\n") + standardError())
            .toStdString();
    }

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
    ASSERT_TRUE(window) << kvtool.whatItDid();
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
    ASSERT_TRUE(box) << kvtool.whatItDid() << x11.whatItDid();
    EXPECT_FALSE(x11.waitForWindow(QLatin1String(MAIN_TITLE), 500));
    ASSERT_TRUE(x11.close(*box));
    EXPECT_EQ(kvtool.exitCode(), 0);
}

// A second start from an X11 launcher hands its startup id over; the running kvtool ends
// that launch's startup notification, so the launcher stops showing it is busy.
TEST_F(KvtoolOnX11, ASecondStartEndsItsLaunchersStartupNotification) {
    Kvtool first({}, environment(QStringLiteral("gen3")));
    ASSERT_TRUE(x11.waitForWindow(QLatin1String(MAIN_TITLE)))
        << first.whatItDid() << x11.whatItDid();
    X11Session::StartupMessages messages(x11);
    QMap<QString, QString> launched = environment(QStringLiteral("gen3"));
    launched.insert(QStringLiteral("DESKTOP_STARTUP_ID"), QStringLiteral("launcher-7_TIME1234"));
    Kvtool second({}, launched);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(messages.next(5000), QByteArray("remove: ID=\"launcher-7_TIME1234\""));
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
    // Qt may say other things first (that XDG_RUNTIME_DIR is not set, for one).
    QString said;
    EXPECT_TRUE(waitUntil([&] {
        said += kvtool.standardError();
        return said.contains(QStringLiteral("single-instance guard off"));
    })) << said.toStdString();
    EXPECT_TRUE(said.contains(taken)) << said.toStdString();
    EXPECT_EQ(kvtool.exitCode(1000), -1);  // still running
}

// ---- Wayland ------------------------------------------------------------------------

struct ActivationCase {
    const char* name;
    const char* launcherToken;  // null: none; "ask": one asked for as a launcher would
    bool comesToTheFront;
};

void PrintTo(const ActivationCase& c, std::ostream* os) {
    *os << c.name;
}

class KvtoolOnWayland : public ::testing::TestWithParam<ActivationCase> {
protected:
    void SetUp() override {
        ASSERT_FALSE(wayland.display().isEmpty()) << wayland.problem().toStdString();
    }

    QMap<QString, QString> environment() const {
        QMap<QString, QString> variables{
            {QStringLiteral("WAYLAND_DISPLAY"), wayland.display()},
            {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland")},
            {QStringLiteral("KVTOOL_EMULATE"), QStringLiteral("gen3")},
            {QStringLiteral("XDG_ACTIVATION_TOKEN"), QString()},
            {QStringLiteral("DISPLAY"), QString()}};
        // Qt's Wayland plugin leaks its globals' proxies at exit; the suppression names the
        // plugin, which only a full unwind of each allocation reaches past libwayland-client.
        if (qEnvironmentVariableIsSet("ASAN_OPTIONS")) {
            variables.insert(
                QStringLiteral("ASAN_OPTIONS"),
                qEnvironmentVariable("ASAN_OPTIONS") + QStringLiteral(":fast_unwind_on_malloc=0"));
        }
        return variables;
    }

    WaylandSession wayland;
};

// kvtool runs as a native Wayland client; another client has the focus; a second start
// hands the running kvtool an activation token (its launcher's, or one it asked the
// compositor for) and exits 0, and kvtool's window has the focus again. A token the
// compositor refuses changes nothing, with no error box.
TEST_P(KvtoolOnWayland, ASecondStartBringsTheWindowToTheFront) {
    Kvtool first({}, environment());
    ASSERT_TRUE(wayland.waitForFocus(QStringLiteral("kvtool"))) << first.whatItDid();
    QMap<QString, QString> other = environment();
    other.insert(QStringLiteral("KVTOOL_PROBE_ID"), QStringLiteral("another program"));
    Kvtool another({}, other, QStringLiteral(KVTOOL_INSTANCE_PROBE));
    ASSERT_TRUE(wayland.waitForFocus(QStringLiteral("kvtool_instance_probe")));

    QMap<QString, QString> launched = environment();
    if (const char* token = GetParam().launcherToken) {
        if (std::strcmp(token, "ask") == 0) {
            qputenv("WAYLAND_DISPLAY", QFile::encodeName(wayland.display()));
            const std::optional<QString> given =
                requestWaylandActivationToken(QStringLiteral("launcher"), 5000);
            qunsetenv("WAYLAND_DISPLAY");
            ASSERT_TRUE(given);
            launched.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), *given);
        } else {
            launched.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), QLatin1String(token));
        }
    }
    Kvtool second({QStringLiteral("/fw")}, launched);
    EXPECT_EQ(second.exitCode(), 0) << second.standardError().toStdString();
    if (GetParam().comesToTheFront) {
        EXPECT_TRUE(wayland.waitForFocus(QStringLiteral("kvtool"), 5000))
            << wayland.focusedAppId().toStdString();
    } else {
        QThread::msleep(1000);
        EXPECT_EQ(wayland.focusedAppId(), QStringLiteral("kvtool_instance_probe"));
    }
    EXPECT_FALSE(wayland.windowTitles().contains(QStringLiteral("Error")));
    EXPECT_EQ(first.exitCode(100), -1);  // still running
    if (const QByteArray shot = qgetenv("KVTOOL_WAYLAND_SCREENSHOT"); !shot.isEmpty()) {
        wayland.screenshot(QFile::decodeName(shot));
    }
}

// No compositor to ask (none named, or none at the named socket): no token, at once.
TEST(WaylandActivationToken, WithoutACompositorThereIsNone) {
    QTemporaryDir nowhere;
    for (const QByteArray& display :
         {QByteArray(), QFile::encodeName(nowhere.filePath("wayland-9"))}) {
        if (display.isEmpty())
            qunsetenv("WAYLAND_DISPLAY");
        else
            qputenv("WAYLAND_DISPLAY", display);
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(requestWaylandActivationToken(QStringLiteral("kvtool"), 5000));
        EXPECT_LT(clock.elapsed(), 1000);
    }
    qunsetenv("WAYLAND_DISPLAY");
}

INSTANTIATE_TEST_SUITE_P(
    Kvtool, KvtoolOnWayland,
    ::testing::Values(ActivationCase{"token_asked_for_by_the_second_start", nullptr, true},
                      ActivationCase{"token_from_the_launcher", "ask", true},
                      ActivationCase{"token_refused_by_the_compositor", "0123456789abcdef", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
