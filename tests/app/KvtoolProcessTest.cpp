// The real kvtool as a process: its start-up argument, how it ends, a failed start, and
// the single-instance guard as a user meets it, on X11 and on Wayland. Windows are driven
// from outside on a private X server (X11Session) or a headless Wayland compositor
// (WaylandSession); tests that need no window run on Qt's offscreen platform.
#include "WaylandSession.h"
#include "X11Session.h"

#include "app/WaylandActivationToken.h"
#include "support/FakeLogind.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QDeadlineTimer>
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

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>

namespace {

constexpr const char* MAIN_TITLE = "Brenmoor Korvane Configurer";

// One kvtool run with a private runtime directory, so it never meets another kvtool.
class Kvtool {
public:
    Kvtool(const QStringList& arguments, const QMap<QString, QString>& variables,
           const QString& program = QStringLiteral(KVTOOL_EXECUTABLE),
           const QString& workingDirectory = QString()) {
        process.setWorkingDirectory(workingDirectory);
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

// On a 1024x768 screen at a desktop scale of 2 the window opens within the screen, with
// room for a title bar, so that the status line and the bar are on it.
TEST_F(KvtoolOnX11, AtAScaleOfTwoTheWindowOpensWithinTheScreen) {
    QMap<QString, QString> variables = environment(QStringLiteral("gen3"));
    variables.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
    Kvtool kvtool({}, variables);
    const auto window = x11.waitForWindow(QLatin1String(MAIN_TITLE));
    ASSERT_TRUE(window) << kvtool.whatItDid();
    const std::optional<QSize> size = x11.size(*window);
    ASSERT_TRUE(size);
    EXPECT_LE(size->width(), 1024);
    EXPECT_LE(size->height(), 768 - 2 * 30) << size->height();
    EXPECT_GE(size->height(), 2 * 300);  // no smaller than the minimum
    ASSERT_TRUE(x11.close(*window));
    EXPECT_EQ(kvtool.exitCode(), 0);
}

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

// Real time, and a valid kv3.bin in the working directory for the generation-3 page.
class KvtoolLiveOnX11 : public KvtoolOnX11 {
protected:
    QMap<QString, QString> live(const QString& emulate) const {
        QMap<QString, QString> variables = environment(emulate);
        variables.insert(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("steady"));
        return variables;
    }
    QString imageDirectory() const {
        Gen3ImageRecipe recipe;
        recipe.size = 20000;
        writeGen3Image(files.filePath(QStringLiteral("kv3.bin")), generateGen3Image(recipe));
        return files.path();
    }
    // How many frames the probe was sent with `tag` first, from the exported frame log.
    int commandsSent(quint8 tag) const {
        // The tag, then the command magic.
        const QString pattern = QStringLiteral(" bulk-out completed \\d+ ") +
                                QStringLiteral("%1").arg(int(tag), 2, 16, QLatin1Char(u'0')) +
                                QStringLiteral("5ac3179e\\b");
        return int(QString::fromLatin1(frames()).count(QRegularExpression(pattern)));
    }
};

struct LivenessCase {
    const char* name;
    const char* emulate;
    bool install;
    int seconds;  // how long the window is pinged
};

void PrintTo(const LivenessCase& c, std::ostream* os) {
    *os << c.name;
}

class Liveness : public KvtoolLiveOnX11, public ::testing::WithParamInterface<LivenessCase> {};

// The window never waits on the probe: it answers the desktop's liveness ping within
// 250 ms while a loader answers connect busy nine times (a second each), and while a
// loader that never answers makes every poll's read take its whole time-out. Two Alt+I
// a quarter of a second apart install once.
TEST_P(Liveness, TheWindowAnswersTheDesktopWhateverTheProbeDoes) {
    const LivenessCase& c = GetParam();
    Kvtool kvtool({}, live(QLatin1String(c.emulate)), QStringLiteral(KVTOOL_EXECUTABLE),
                  imageDirectory());
    const auto window = x11.waitForWindow(QLatin1String(MAIN_TITLE));
    ASSERT_TRUE(window) << kvtool.whatItDid();
    QThread::msleep(500);
    if (c.install) {
        ASSERT_TRUE(x11.typeInto(*window, QStringLiteral("alt+i")));
        QThread::msleep(250);
        ASSERT_TRUE(x11.typeInto(*window, QStringLiteral("alt+i")));
    }
    X11Session::Pinger pinger(x11);
    int worst = 0;
    int unanswered = 0;
    const QDeadlineTimer deadline(c.seconds * 1000);
    while (!deadline.hasExpired()) {
        const std::optional<int> ms = pinger.ping(*window, 2000);
        unanswered += ms ? 0 : 1;
        worst = std::max(worst, ms.value_or(0));
        QThread::msleep(100);
    }
    EXPECT_EQ(unanswered, 0);
    EXPECT_LT(worst, 250) << "the slowest answer took " << worst << " ms";
    ASSERT_TRUE(x11.close(*window));
    EXPECT_EQ(kvtool.exitCode(), 0) << kvtool.whatItDid();
    if (c.install) {
        // Nine busy answers and the connect that went through: one install, not two.
        EXPECT_EQ(commandsSent(0x01), 10);
        EXPECT_EQ(commandsSent(0x02), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Kvtool, Liveness,
                         ::testing::Values(LivenessCase{"install_with_nine_busy_connects",
                                                        "gen3:busy=9", true, 11},
                                           LivenessCase{"polls_of_a_silent_loader",
                                                        "gen3:fault=info-silent@*", false, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

// A close asked for during an install keeps the window, which says why and, asked to,
// closes by itself once the install has ended; the install completes.
TEST_F(KvtoolLiveOnX11, AWindowClosedDuringAnInstallStaysUntilItEnds) {
    Kvtool kvtool({}, live(QStringLiteral("gen3:busy=3")), QStringLiteral(KVTOOL_EXECUTABLE),
                  imageDirectory());
    const auto window = x11.waitForWindow(QLatin1String(MAIN_TITLE));
    ASSERT_TRUE(window) << kvtool.whatItDid();
    QThread::msleep(500);
    ASSERT_TRUE(x11.typeInto(*window, QStringLiteral("alt+i")));
    QThread::msleep(300);
    ASSERT_TRUE(x11.close(*window));
    const auto question = x11.waitForWindow(QStringLiteral("Install Under Way"), 5000);
    ASSERT_TRUE(question) << kvtool.whatItDid();
    EXPECT_TRUE(x11.waitForWindow(QLatin1String(MAIN_TITLE), 500));
    EXPECT_EQ(kvtool.exitCode(100), -1);                            // still running
    ASSERT_TRUE(x11.typeInto(*question, QStringLiteral("alt+c")));  // Close When Finished
    EXPECT_EQ(kvtool.exitCode(20000), 0) << kvtool.whatItDid();
    EXPECT_EQ(commandsSent(0x02), 1);  // the install went to its end: disconnected
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

// ---- The command line on a terminal -------------------------------------------------

struct TerminalCase {
    const char* name;
    QStringList arguments;
    int exitCode;
    const char* out;          // how standard output begins
    const char* err;          // its whole standard error
    bool fullOutput = false;  // standard output is /dev/full
};

void PrintTo(const TerminalCase& c, std::ostream* os) {
    *os << c.name;
}

class KvtoolCommandLine : public ::testing::TestWithParam<TerminalCase> {};

// Answered on the terminal without a display: were a window (or the application object)
// made, kvtool would end for want of the X11 display it is pointed at. Nothing is handed
// to a running kvtool either: none listens in the runtime directory, and none is started.
TEST_P(KvtoolCommandLine, IsAnsweredOnTheTerminalWithoutAWindow) {
    const TerminalCase& c = GetParam();
    QTemporaryDir runtime;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    process.setProcessEnvironment(environment);
    if (c.fullOutput) {
        process.setStandardOutputFile(QStringLiteral("/dev/full"));
    }
    process.start(QStringLiteral(KVTOOL_EXECUTABLE), c.arguments);
    ASSERT_TRUE(process.waitForFinished(15000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), c.exitCode);
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_EQ(out.left(qsizetype(std::strlen(c.out))), QLatin1String(c.out));
    EXPECT_EQ(QString::fromUtf8(process.readAllStandardError()), QLatin1String(c.err));
    EXPECT_TRUE(socketIn(runtime.path()).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Kvtool, KvtoolCommandLine,
    ::testing::Values(
        TerminalCase{"help",
                     {QStringLiteral("--help")},
                     0,
                     "Usage: kvtool [OPTIONS] [FIRMWARE-DIRECTORY]\n",
                     ""},
        TerminalCase{"short_help_after_the_argument",
                     {QStringLiteral("/fw"), QStringLiteral("-h")},
                     0,
                     "Usage: kvtool ",
                     ""},
        TerminalCase{
            "version", {QStringLiteral("--version")}, 0, "kvtool " KVTOOL_VERSION "\n", ""},
        TerminalCase{
            "short_version_with_a_qt_option",
            {QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("-v")},
            0,
            "kvtool " KVTOOL_VERSION "\n",
            ""},
        TerminalCase{"unknown_option",
                     {QStringLiteral("--frobnicate")},
                     2,
                     "",
                     "kvtool: unknown option \"--frobnicate\"\n"
                     "Try 'kvtool --help' for more information.\n"},
        TerminalCase{"option_without_its_value",
                     {QStringLiteral("-style")},
                     2,
                     "",
                     "kvtool: -style needs a value\n"
                     "Try 'kvtool --help' for more information.\n"},
        TerminalCase{"flag_with_a_value",
                     {QStringLiteral("--version=2")},
                     2,
                     "",
                     "kvtool: --version takes no value\n"
                     "Try 'kvtool --help' for more information.\n"},
        TerminalCase{"help_on_a_full_disk",
                     {QStringLiteral("--help")},
                     1,
                     "",
                     "kvtool: write error: No space left on device\n",
                     true}),
    [](const auto& info) { return std::string(info.param.name); });

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

// On Wayland too, a close asked for during an install leaves the window on screen, with
// the question why; the install goes on to its end.
TEST(KvtoolOnWaylandInstalling, AWindowClosedDuringAnInstallStays) {
    WaylandSession wayland;
    ASSERT_FALSE(wayland.display().isEmpty()) << wayland.problem().toStdString();
    QTemporaryDir files;
    Gen3ImageRecipe recipe;
    recipe.size = 20000;
    writeGen3Image(files.filePath(QStringLiteral("kv3.bin")), generateGen3Image(recipe));
    QMap<QString, QString> variables{
        {QStringLiteral("WAYLAND_DISPLAY"), wayland.display()},
        {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland")},
        {QStringLiteral("KVTOOL_EMULATE"), QStringLiteral("gen3:busy=4")},
        {QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("steady")},
        {QStringLiteral("KVTOOL_EMULATE_LOG"), files.filePath(QStringLiteral("frames.log"))},
        {QStringLiteral("DISPLAY"), QString()}};
    if (qEnvironmentVariableIsSet("ASAN_OPTIONS")) {
        variables.insert(
            QStringLiteral("ASAN_OPTIONS"),
            qEnvironmentVariable("ASAN_OPTIONS") + QStringLiteral(":fast_unwind_on_malloc=0"));
    }
    // The install holds logind's inhibitor lock while it runs: that is how the test sees
    // it has started, the window's contents being out of sway's sight.
    const FakeLogind logind;
    ASSERT_TRUE(logind.running()) << logind.whyNot().toStdString();
    variables.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), logind.address());
    Kvtool kvtool({}, variables, QStringLiteral(KVTOOL_EXECUTABLE), files.path());
    ASSERT_TRUE(wayland.waitForFocus(QStringLiteral("kvtool"))) << kvtool.whatItDid();
    // Alt+I until the install is under way (a compositor under load may drop keys). A second
    // activation during the install does nothing (counted below).
    bool started = false;
    for (int i = 0; i < 10 && !started; ++i) {
        ASSERT_TRUE(wayland.type({QStringLiteral("-M"), QStringLiteral("alt"), QStringLiteral("i"),
                                  QStringLiteral("-m"), QStringLiteral("alt")}));
        started = waitUntil([&] { return logind.inhibitors() == 1; }, 500);
    }
    ASSERT_TRUE(started) << kvtool.whatItDid();
    ASSERT_TRUE(wayland.command(QStringLiteral("[app_id=kvtool] kill")));
    EXPECT_TRUE(waitUntil(
        [&] { return wayland.windowTitles().contains(QStringLiteral("Install Under Way")); }, 5000))
        << wayland.windowTitles().join(u',').toStdString();
    EXPECT_TRUE(wayland.windowTitles().contains(QLatin1String(MAIN_TITLE)));
    // The install ends (the loader is disconnected), and the window is still there.
    QThread::msleep(6000);
    EXPECT_TRUE(wayland.windowTitles().contains(QLatin1String(MAIN_TITLE)));
    ASSERT_TRUE(wayland.command(QStringLiteral("[app_id=kvtool] kill")));
    EXPECT_EQ(kvtool.exitCode(), 0) << kvtool.whatItDid();
    QFile log(files.filePath(QStringLiteral("frames.log")));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString frames = QString::fromLatin1(log.readAll());
    // One install, to its end: four busy connects and the one that went through, and the
    // disconnect.
    EXPECT_EQ(
        frames.count(QRegularExpression(QStringLiteral(" bulk-out completed \\d+ 015ac3179e"))), 5);
    EXPECT_EQ(
        frames.count(QRegularExpression(QStringLiteral(" bulk-out completed \\d+ 025ac3179e"))), 1);
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
