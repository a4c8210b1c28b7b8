#include "app/StartupOptions.h"

#include "app/CommandLineScan.h"
#include "app/HelpText.h"
#include "app/WriteAll.h"

#include <QCommandLineParser>

#include <array>

#include <unistd.h>

namespace {

constexpr char PROGRAM[] = "kvtool";
constexpr int USAGE_STATUS = 2;
constexpr int WRITE_FAILED_STATUS = 1;

// Qt's own options, which the application object takes out of the arguments: those that
// take a value, and flags.
constexpr std::array<const char*, 17> QT_VALUE_OPTIONS{
    "platform",        "platformpluginpath", "platformtheme", "plugin",
    "qwindowgeometry", "qwindowicon",        "qwindowtitle",  "session",
    "display",         "geometry",           "name",          "title",
    "style",           "stylesheet",         "qmljsdebugger", "dialogs",
    "fontengine"};
constexpr std::array<const char*, 5> QT_FLAGS{"reverse", "widgetcount", "nograb", "dograb", "sync"};

QList<QCommandLineOption> optionsOf() {
    QList<QCommandLineOption> options{
        QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}),
        QCommandLineOption(QStringList{QStringLiteral("v"), QStringLiteral("version")})};
    for (const char* name : QT_VALUE_OPTIONS) {
        options << QCommandLineOption(QLatin1String(name), QString(), QStringLiteral("value"));
    }
    for (const char* name : QT_FLAGS) {
        options << QCommandLineOption(QLatin1String(name));
    }
    return options;
}

}  // namespace

StartupOptions StartupOptions::parse(const QStringList& arguments) {
    const QList<QCommandLineOption> options = optionsOf();
    QCommandLineParser parser;
    // "-platform xcb" as Qt spells its options; "-h" and "-v" are names of their own.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(options);
    StartupOptions result;
    if (!parser.parse(arguments)) {
        result.action = Action::Usage;
        result.error = CommandLineScan(arguments, options).problem(parser.errorText());
        return result;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        result.action = Action::Help;
    } else if (parser.isSet(QStringLiteral("version"))) {
        result.action = Action::Version;
    }
    const QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty()) {
        result.firmwareDirectory = positional.first();
    }
    return result;
}

QString startupVersionText() {
    return QStringLiteral("%1 %2").arg(QLatin1String(PROGRAM), QLatin1String(KVTOOL_VERSION));
}

QString startupHelpText() {
    QString text = QStringLiteral("Usage: kvtool [OPTIONS] [FIRMWARE-DIRECTORY]\n\n");
    text += wrappedText(
                QStringLiteral("Opens the window \"Brenmoor Korvane Configurer\", which finds the "
                               "Brenmoor Korvane JTAG debug probe attached over USB, shows its "
                               "serial number and firmware, and installs new firmware on it. "
                               "kvtool-cli does the same from the command line."),
                0) +
            u'\n';
    text += QStringLiteral("\nArguments:\n");
    text += helpEntry(
        QStringLiteral("FIRMWARE-DIRECTORY"),
        QStringLiteral("The directory of the generation-2 images (kv_TARGET_CLOCKING.bin); "
                       "default: the folder last chosen in the window, else the first firmware "
                       "folder that holds the image ($XDG_DATA_HOME/kvtool/firmware, "
                       "kvtool/firmware in each of $XDG_DATA_DIRS, the directory of the "
                       "program file). A second start while "
                       "kvtool runs brings the running window to the front and ends; the "
                       "running window keeps its own directory."));
    text += QStringLiteral("\nOptions:\n");
    text += helpEntry(QStringLiteral("-h, --help"), QStringLiteral("Show the help and exit."));
    text +=
        helpEntry(QStringLiteral("-v, --version"), QStringLiteral("Show the version and exit."));
    text += wrappedText(QStringLiteral("Qt's own options are taken as well, such as -platform "
                                       "NAME and -style NAME."),
                        2) +
            u'\n';
    text += environmentHelp(QLatin1String(PROGRAM));
    text += QStringLiteral(
        "\nExit status:\n"
        "  0  done (failures are shown in the window)\n"
        "  1  the help or the version could not be written\n"
        "  2  usage error\n");
    return text;
}

int answerOnTerminal(const StartupOptions& options) {
    const auto say = [](int fd, const QString& text) { return writeAll(fd, text.toUtf8()); };
    QString text;
    switch (options.action) {
        case StartupOptions::Action::Usage:
            say(STDERR_FILENO, QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n")
                                   .arg(QLatin1String(PROGRAM), options.error));
            return USAGE_STATUS;
        case StartupOptions::Action::Help:
            text = startupHelpText();
            break;
        case StartupOptions::Action::Version:
            text = startupVersionText() + u'\n';
            break;
        case StartupOptions::Action::Run:
            return 0;
    }
    if (const int error = say(STDOUT_FILENO, text); error != 0) {
        say(STDERR_FILENO, QStringLiteral("%1: write error: %2\n")
                               .arg(QLatin1String(PROGRAM), qt_error_string(error)));
        return WRITE_FAILED_STATUS;
    }
    return 0;
}
