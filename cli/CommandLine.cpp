#include "cli/CommandLine.h"

#include "app/CommandLineScan.h"
#include "app/HelpText.h"

#include <QCommandLineParser>

#include <array>

namespace {

constexpr char PROGRAM[] = "kvtool-cli";

struct CommandSpec {
    Command command;
    const char* name;
    const char* synopsis;
    const char* description;
};

constexpr std::array<CommandSpec, 7> COMMANDS{{
    {Command::List, "list", "list",
     "List the attached probes: generation, mode (application, bootloader or loader), "
     "serial number, device path."},
    {Command::Info, "info", "info [--serial S]",
     "Show the firmware installed on a probe: its version text, or its version and "
     "variant, or that its bootloader is running."},
    {Command::Install, "install",
     "install FILE [--serial S ... | --all] [--dry-run] [--log FILE]\n"
     "install --target T --clocking C [--firmware-dir DIR] [--force] [--serial S ... | --all] "
     "[--dry-run] [--log FILE]",
     "Install an image file on a probe of the image's generation, or the generation-2 "
     "image kv_T_C.bin of the firmware directory, as the kvtool window does. With --all, "
     "or --serial given more than once, on several probes at once, each on its own: one "
     "line each while they run, then a table of the results."},
    {Command::Image, "image", "image FILE",
     "Describe an image file without a probe: generation, version, size, CRC and the "
     "marks found in it."},
    {Command::Doctor, "doctor", "doctor",
     "Tell whether this user can open the attached probes and, if not, why and how to "
     "fix it; name the process that holds a probe in use."},
    {Command::Watch, "watch",
     "watch FILE [--force] [--count N] [--log FILE]\n"
     "watch --target T --clocking C [--firmware-dir DIR] [--force] [--count N] [--log FILE]",
     "Wait for probes to be attached and install the image on each of its generation as it "
     "appears, once per attachment, several at once; a probe that already runs the image's "
     "version is left alone unless --force. Ends on Ctrl-C once the installs under way are "
     "done (a second Ctrl-C abandons them), or after --count probes."},
    {Command::Update, "update",
     "update [--firmware-dir DIR]... [--target T --clocking C] [--serial S ... | --all] "
     "[--dry-run] [--log FILE]",
     "Install on a probe (or each probe named, or every attached probe) the newest image in "
     "the firmware folders that fits it: its generation and, for generation 2, its installed "
     "target and clocking (or those given: a probe in its bootloader needs them). A probe "
     "that runs that version or a newer one is up to date and is sent nothing more than the "
     "read of its version. Done when every probe is installed or up to date. With --verbose "
     "it names each file of the folders it passes over, and why."},
}};

// Which commands an option applies to.
constexpr unsigned bit(Command command) {
    return 1U << static_cast<unsigned>(command);
}
constexpr unsigned EVERY_COMMAND = 0xFFU;

struct OptionSpec {
    const char* name;
    const char* valueName;  // null for a flag
    const char* description;
    unsigned commands;
};

constexpr std::array<OptionSpec, 13> OPTIONS{{
    {"serial", "S",
     "Use the probe with serial number S; install and update take it more than once, for "
     "several probes at once.",
     bit(Command::Info) | bit(Command::Install) | bit(Command::Update)},
    {"all", nullptr,
     "Install on every attached probe of the image's generation; update every attached "
     "probe.",
     bit(Command::Install) | bit(Command::Update)},
    {"dry-run", nullptr,
     "Read the probe and the image and tell what install or update would do, sending nothing "
     "that changes the probe.",
     bit(Command::Install) | bit(Command::Update)},
    {"target", "T", "Generation-2 target family: alder, birch or cedar.",
     bit(Command::Install) | bit(Command::Watch) | bit(Command::Update)},
    {"clocking", "C", "Generation-2 JTAG clocking: max or var.",
     bit(Command::Install) | bit(Command::Watch) | bit(Command::Update)},
    {"firmware-dir", "DIR",
     "Look for images in DIR first, before the firmware folders $XDG_DATA_HOME/kvtool/firmware, "
     "kvtool/firmware in each of $XDG_DATA_DIRS and the directory of the program file (install "
     "and watch: the generation-2 image of --target and --clocking; update: every image, and "
     "it takes the option more than once).",
     bit(Command::Install) | bit(Command::Watch) | bit(Command::Update)},
    {"force", nullptr,
     "Install all the same: on a probe that already runs the image's version (watch), and a "
     "generation-2 image whose own version record names another target family or clocking "
     "than --target and --clocking.",
     bit(Command::Install) | bit(Command::Watch)},
    {"count", "N", "End after N probes.", bit(Command::Watch)},
    {"log", "FILE",
     "Append one JSON line per finished probe to FILE: time, serial, port, firmware before "
     "and after, result, duration, the image's SHA-256, each phase's duration, the station "
     "and kvtool's version. FILE must be a regular file that can be written, or it is a "
     "usage error before anything is sent; each line is written whole and synced to disk, "
     "and a line that cannot be written is said on standard error and makes the exit status "
     "1.",
     bit(Command::Install) | bit(Command::Watch) | bit(Command::Update)},
    {"json", nullptr,
     "Print JSON, one object per line (schema version 1, documented in "
     "/usr/share/doc/kvtool/json-output.md.gz).",
     EVERY_COMMAND},
    {"verbose", nullptr,
     "Show every USB transfer with the probe, and the USB error behind a failure.", EVERY_COMMAND},
    {"help", nullptr, "Show the help (of the command, when one is given) and exit.", EVERY_COMMAND},
    {"version", nullptr, "Show the version and exit.", EVERY_COMMAND},
}};

bool appliesTo(const OptionSpec& option, Command command) {
    return (option.commands & bit(command)) != 0;
}

// The commands an option applies to, as the help writes them: "(install, watch)", or
// "(every command)".
QString commandsOf(const OptionSpec& option) {
    if (option.commands == EVERY_COMMAND) {
        return QStringLiteral("(every command)");
    }
    QStringList names;
    for (const CommandSpec& command : COMMANDS) {
        if (appliesTo(option, command.command)) {
            names << QLatin1String(command.name);
        }
    }
    return u'(' + names.join(QStringLiteral(", ")) + u')';
}

// The options as the parser knows them.
QList<QCommandLineOption> parserOptions() {
    QList<QCommandLineOption> options;
    for (const OptionSpec& option : OPTIONS) {
        QStringList names{QLatin1String(option.name)};
        if (names.first() == u"help") {
            names << QStringLiteral("h");
        }
        // Without a value name (a null one here) the option is a flag.
        options << QCommandLineOption(names, QLatin1String(option.description),
                                      QLatin1String(option.valueName));
    }
    return options;
}

// One form of a command's synopsis after `lead`, wrapped at 79 columns between its
// bracketed groups, the lines after the first indented by `indent`.
QString synopsisLines(const QString& lead, const QString& synopsis, int indent) {
    QStringList groups;
    for (const QString& part : synopsis.split(QStringLiteral(" ["))) {
        groups << (groups.isEmpty() ? part : u'[' + part);
    }
    QString text = lead;
    qsizetype column = lead.size();
    for (qsizetype i = 0; i < groups.size(); ++i) {
        const QString& group = groups[i];
        if (i > 0 && column + 1 + group.size() > 79) {
            text += u'\n' + QString(indent, u' ');
            column = indent;
        } else if (i > 0) {
            text += u' ';
            ++column;
        }
        text += group;
        column += group.size();
    }
    return text + u'\n';
}

const CommandSpec* commandNamed(const QString& name) {
    const auto spec = std::find_if(COMMANDS.begin(), COMMANDS.end(), [&](const CommandSpec& c) {
        return name == QLatin1String(c.name);
    });
    return spec == COMMANDS.end() ? nullptr : &*spec;
}

QString optionSynopsis(const OptionSpec& option) {
    QString text = QStringLiteral("--") + QLatin1String(option.name);
    if (option.valueName != nullptr) {
        text += u' ' + QLatin1String(option.valueName);
    }
    if (QLatin1String(option.name) == u"help") {
        text = QStringLiteral("-h, ") + text;
    }
    return text;
}

// One of `values`, named as in the image file names ("alder", "max"), in any case; any
// other value is a usage error made by `fail`.
template <typename Enum, std::size_t N, typename Fail>
Enum choice(const QString& option, const QString& value, const std::array<Enum, N>& values,
            QString (*nameOf)(Enum), const Fail& fail) {
    QStringList names;
    for (const Enum candidate : values) {
        if (value.compare(nameOf(candidate), Qt::CaseInsensitive) == 0) {
            return candidate;
        }
        names << nameOf(candidate);
    }
    const QString expected = names.mid(0, names.size() - 1).join(QStringLiteral(", ")) +
                             QStringLiteral(" or ") + names.last();
    throw fail(QStringLiteral("--%1: expected %2, got \"%3\"").arg(option, expected, value));
}

}  // namespace

QString versionText() {
    return QStringLiteral("%1 %2").arg(QLatin1String(PROGRAM), QLatin1String(KVTOOL_VERSION));
}

QString helpText() {
    QString text = QStringLiteral("Usage: %1 COMMAND [OPTIONS]\n").arg(QLatin1String(PROGRAM));
    text += QStringLiteral("       %1 help [COMMAND]\n\n").arg(QLatin1String(PROGRAM));
    text += QStringLiteral(
        "Shows and installs the firmware of Brenmoor Korvane JTAG debug probes attached over "
        "USB.\n\nCommands:\n");
    for (const CommandSpec& command : COMMANDS) {
        for (const QString& synopsis : QString::fromLatin1(command.synopsis).split(u'\n')) {
            text += synopsisLines(QStringLiteral("  "), synopsis, 8);
        }
        text += wrappedText(QLatin1String(command.description), 6) + u'\n';
    }
    text += helpEntry(QStringLiteral("help [COMMAND]"),
                      QStringLiteral("Show this help, or the help of COMMAND: its usage and "
                                     "its options (as COMMAND --help does)."));
    text += QStringLiteral("\nOptions:\n");
    for (const OptionSpec& option : OPTIONS) {
        text += helpEntry(optionSynopsis(option) + QStringLiteral("  ") + commandsOf(option),
                          QLatin1String(option.description));
    }
    text += environmentHelp(QLatin1String(PROGRAM));
    text += QStringLiteral(
        "\nSignals:\n"
        "  SIGINT (Ctrl-C)\n"
        "      The first lets the installs under way end and starts no new one; the\n"
        "      second abandons them and names the probes left needing an install.\n"
        "  SIGHUP, SIGTERM, SIGQUIT\n"
        "      As the first Ctrl-C, however often they come.\n"
        "  SIGPIPE\n"
        "      Ignored: a reader that went away ends the output of install and watch,\n"
        "      which go on; any other command ends with status 1.\n"
        "\nExit status:\n"
        "  0  done (on several probes: on every one of them)\n"
        "  1  the operation failed (on several probes: also when they failed in different ways)\n"
        "  2  usage error\n"
        "  3  no probe attached, or no single probe to choose\n"
        "  4  permission denied: this user may not open the probe (see doctor)\n"
        "  5  the image file cannot be read, is no firmware image, or does not fit the probe\n"
        "  On several probes the status is the one their failures share, else 1.\n"
        "  Output that cannot be written is said on standard error and makes the status 1.\n");
    return text;
}

QString commandHelpText(Command command) {
    const CommandSpec& spec =
        *std::find_if(COMMANDS.begin(), COMMANDS.end(),
                      [&](const CommandSpec& c) { return c.command == command; });
    QString text;
    const QStringList synopses = QString::fromLatin1(spec.synopsis).split(u'\n');
    for (qsizetype i = 0; i < synopses.size(); ++i) {
        const QString lead = (i == 0 ? QStringLiteral("Usage: ") : QStringLiteral("       ")) +
                             QLatin1String(PROGRAM) + u' ';
        text += synopsisLines(lead, synopses[i], int(lead.size()) + 4);
    }
    text += u'\n' + wrappedText(QLatin1String(spec.description), 0) + u'\n';
    text += QStringLiteral("\nOptions:\n");
    for (const OptionSpec& option : OPTIONS) {
        if (appliesTo(option, command)) {
            text += helpEntry(optionSynopsis(option), QLatin1String(option.description));
        }
    }
    text += QStringLiteral("\nThe environment, the signals and the exit status: %1 --help.\n")
                .arg(QLatin1String(PROGRAM));
    return text;
}

QString usageHint(const UsageError& error) {
    return error.commandKnown
               ? QStringLiteral("%1 %2 --help").arg(QLatin1String(PROGRAM), error.commandName)
               : QStringLiteral("%1 --help").arg(QLatin1String(PROGRAM));
}

ParsedCommandLine parseCommandLine(const QStringList& arguments) {
    const bool json = arguments.contains(QStringLiteral("--json"));
    const QList<QCommandLineOption> known = parserOptions();
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(known);
    if (!parser.parse(arguments)) {
        // Said in the words of the other usage errors, with the command typed, if any.
        const CommandLineScan scan(arguments, known);
        const QString typed = scan.firstOperand();
        throw UsageError{scan.problem(parser.errorText()), typed, json,
                         commandNamed(typed) != nullptr};
    }
    const QStringList positional = parser.positionalArguments();
    ParsedCommandLine parsed;
    const bool helpAsked = parser.isSet(QStringLiteral("help"));
    // "help [COMMAND]" is "[COMMAND] --help".
    const bool helpCommand = positional.value(0) == u"help";
    if (helpAsked || helpCommand) {
        const QStringList operands = positional.mid(helpCommand ? 1 : 0);
        parsed.action = ParsedCommandLine::Action::Help;
        if (operands.isEmpty()) {
            return parsed;
        }
        const CommandSpec* spec = commandNamed(operands.first());
        if (spec == nullptr) {
            throw UsageError{QStringLiteral("unknown command \"%1\"").arg(operands.first()),
                             operands.first(), json, false};
        }
        if (helpCommand && operands.size() > 1) {
            throw UsageError{QStringLiteral("unexpected argument \"%1\"").arg(operands.last()),
                             QStringLiteral("help"), json, false};
        }
        parsed.helpCommand = spec->command;
        return parsed;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        parsed.action = ParsedCommandLine::Action::Version;
        return parsed;
    }
    if (positional.isEmpty()) {
        throw UsageError{QStringLiteral("no command given"), QString(), json, false};
    }
    CliOptions& options = parsed.options;
    options.commandName = positional.first();
    const CommandSpec* spec = commandNamed(options.commandName);
    if (spec == nullptr) {
        throw UsageError{QStringLiteral("unknown command \"%1\"").arg(options.commandName),
                         options.commandName, json, false};
    }
    options.command = spec->command;
    const auto fail = [&](const QString& message) {
        return UsageError{message, options.commandName, json, true};
    };
    for (const OptionSpec& option : OPTIONS) {
        if (parser.isSet(QLatin1String(option.name)) && !appliesTo(option, spec->command)) {
            throw fail(QStringLiteral("--%1 does not apply to %2")
                           .arg(QLatin1String(option.name), options.commandName));
        }
    }
    options.json = parser.isSet(QStringLiteral("json"));
    options.verbose = parser.isSet(QStringLiteral("verbose"));
    options.dryRun = parser.isSet(QStringLiteral("dry-run"));
    options.serials = parser.values(QStringLiteral("serial"));
    if (options.serials.contains(QString())) {
        throw fail(QStringLiteral("--serial: the serial number is empty"));
    }
    if (options.serials.size() > 1 && spec->command != Command::Install &&
        spec->command != Command::Update) {
        throw fail(QStringLiteral("--serial: %1 works on one probe").arg(options.commandName));
    }
    options.serial = options.serials.value(0);
    options.all = parser.isSet(QStringLiteral("all"));
    if (options.all && !options.serials.isEmpty()) {
        throw fail(QStringLiteral("give either --all or --serial, not both"));
    }
    options.force = parser.isSet(QStringLiteral("force"));
    if (parser.isSet(QStringLiteral("count"))) {
        bool ok = false;
        options.count = parser.value(QStringLiteral("count")).toInt(&ok);
        if (!ok || *options.count < 1) {
            throw fail(QStringLiteral("--count: expected a number of probes from 1, got \"%1\"")
                           .arg(parser.value(QStringLiteral("count"))));
        }
    }
    if (parser.isSet(QStringLiteral("log"))) {
        options.logFile = parser.value(QStringLiteral("log"));
        if (options.logFile.isEmpty()) {
            throw fail(QStringLiteral("--log: the file name is empty"));
        }
    }

    const QStringList operands = positional.mid(1);
    const bool takesFile = spec->command == Command::Install || spec->command == Command::Image ||
                           spec->command == Command::Watch;
    if (operands.size() > (takesFile ? 1 : 0)) {
        throw fail(QStringLiteral("unexpected argument \"%1\"").arg(operands.last()));
    }
    if (takesFile && !operands.isEmpty()) {
        options.file = operands.first();
        if (options.file.isEmpty()) {
            throw fail(QStringLiteral("the file name is empty"));
        }
    }
    if (spec->command == Command::Image && options.file.isEmpty()) {
        throw fail(QStringLiteral("image needs a FILE"));
    }
    if (spec->command != Command::Install && spec->command != Command::Watch &&
        spec->command != Command::Update) {
        return parsed;
    }

    const bool target = parser.isSet(QStringLiteral("target"));
    const bool clocking = parser.isSet(QStringLiteral("clocking"));
    const bool directory = parser.isSet(QStringLiteral("firmware-dir"));
    if (!options.file.isEmpty() && (target || clocking || directory)) {
        throw fail(QStringLiteral("give either FILE or --target and --clocking, not both"));
    }
    if (options.file.isEmpty() && !target && !clocking && spec->command != Command::Update) {
        throw fail(
            QStringLiteral("%1 needs a FILE, or --target and --clocking").arg(options.commandName));
    }
    if (target != clocking) {
        throw fail(target ? QStringLiteral("--target needs --clocking")
                          : QStringLiteral("--clocking needs --target"));
    }
    if (options.force && spec->command == Command::Install && !target) {
        // What it lets through is a version record at odds with the variant chosen.
        throw fail(QStringLiteral("--force: install takes it with --target and --clocking"));
    }
    if (target) {
        options.target = choice(QStringLiteral("target"), parser.value(QStringLiteral("target")),
                                kv2::TARGET_FAMILIES, kv2::familyFilePart, fail);
        options.clocking =
            choice(QStringLiteral("clocking"), parser.value(QStringLiteral("clocking")),
                   kv2::JTAG_CLOCKINGS, kv2::clockingFilePart, fail);
    }
    if (directory) {
        options.firmwareDirectories = parser.values(QStringLiteral("firmware-dir"));
        options.firmwareDirectory = options.firmwareDirectories.first();
        if (options.firmwareDirectories.contains(QString())) {
            throw fail(QStringLiteral("--firmware-dir: the directory is empty"));
        }
        if (options.firmwareDirectories.size() > 1 && spec->command != Command::Update) {
            throw fail(
                QStringLiteral("--firmware-dir: %1 takes one directory").arg(options.commandName));
        }
    }
    return parsed;
}
