#include "cli/CommandLine.h"

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
     "install FILE [--serial S | --all] [--dry-run]\n"
     "install --target T --clocking C [--firmware-dir DIR] [--serial S | --all] [--dry-run]",
     "Install an image file on a probe of the image's generation, or the generation-2 "
     "image kv_T_C.bin of the firmware directory, as the kvtool window does. With --all, "
     "or --serial given more than once, on several probes at once, each on its own: one "
     "line each while they run, then a table of the results."},
    {Command::Image, "image", "image FILE",
     "Describe an image file without a probe: generation, version, size, CRC and the "
     "marks found in it."},
    {Command::Doctor, "doctor", "doctor",
     "Tell whether this user can open the attached probes and, if not, why and how to "
     "fix it."},
    {Command::Watch, "watch",
     "watch FILE [--force] [--count N] [--log FILE]\n"
     "watch --target T --clocking C [--firmware-dir DIR] [--force] [--count N] [--log FILE]",
     "Wait for probes to be attached and install the image on each of its generation as it "
     "appears, once per attachment, several at once; a probe that already runs the image's "
     "version is left alone unless --force. Ends on Ctrl-C once the installs under way are "
     "done (a second Ctrl-C abandons them), or after --count probes."},
    {Command::Update, "update",
     "update [--firmware-dir DIR]... [--serial S... | --all] [--dry-run] [--log FILE]",
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
     "Use the probe with serial number S (info, install, update; install and update take it "
     "more than once).",
     bit(Command::Info) | bit(Command::Install) | bit(Command::Update)},
    {"all", nullptr,
     "Install on every attached probe of the image's generation (install), update every "
     "attached probe (update).",
     bit(Command::Install) | bit(Command::Update)},
    {"dry-run", nullptr,
     "Read the probe and the image and tell what install or update would do, sending nothing "
     "that changes the probe.",
     bit(Command::Install) | bit(Command::Update)},
    {"target", "T", "Generation-2 target family: alder, birch or cedar (install, watch, update).",
     bit(Command::Install) | bit(Command::Watch) | bit(Command::Update)},
    {"clocking", "C", "Generation-2 JTAG clocking: max or var (install, watch, update).",
     bit(Command::Install) | bit(Command::Watch) | bit(Command::Update)},
    {"firmware-dir", "DIR",
     "Look for images in DIR first, before the firmware folders $XDG_DATA_HOME/kvtool/firmware, "
     "kvtool/firmware in each of $XDG_DATA_DIRS and the directory of the program file "
     "(install, watch: the generation-2 image of --target and --clocking; update: every "
     "image, and it takes the option more than once).",
     bit(Command::Install) | bit(Command::Watch) | bit(Command::Update)},
    {"force", nullptr, "Install also on probes that already run the image's version (watch).",
     bit(Command::Watch)},
    {"count", "N", "End after N probes (watch).", bit(Command::Watch)},
    {"log", "FILE",
     "Append one JSON line per finished probe to FILE: time, serial, port, firmware before "
     "and after, result, duration, the image's SHA-256, each phase's duration, the station "
     "and kvtool's version (install, watch, update). FILE must be a regular file that can be "
     "written, or it is a usage error before anything is sent; each line is written whole "
     "and synced to disk, and a line that cannot be written is said on standard error and "
     "makes the exit status 1.",
     bit(Command::Install) | bit(Command::Watch) | bit(Command::Update)},
    {"json", nullptr, "Print JSON, one object per line (schema version 1; see the manual).",
     EVERY_COMMAND},
    {"verbose", nullptr,
     "Show every USB transfer with the probe, and the USB error behind a failure.", EVERY_COMMAND},
    {"help", nullptr, "Show this help and exit.", EVERY_COMMAND},
    {"version", nullptr, "Show the version and exit.", EVERY_COMMAND},
}};

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

// Lines of `text` wrapped at `width` characters, each indented by `indent`.
QString wrapped(const QString& text, int indent, int width = 79) {
    QStringList lines;
    QString line;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > width) {
            lines << line;
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    lines << line;
    const QString pad(indent, u' ');
    return pad + lines.join(u'\n' + pad);
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
    QString text = QStringLiteral("Usage: %1 COMMAND [OPTIONS]\n\n").arg(QLatin1String(PROGRAM));
    text += QStringLiteral(
        "Shows and installs the firmware of Brenmoor Korvane JTAG debug probes attached over "
        "USB.\n\nCommands:\n");
    for (const CommandSpec& command : COMMANDS) {
        for (const QString& synopsis : QString::fromLatin1(command.synopsis).split(u'\n')) {
            text += QStringLiteral("  ") + synopsis + u'\n';
        }
        text += wrapped(QLatin1String(command.description), 6) + u'\n';
    }
    text += QStringLiteral("\nOptions:\n");
    for (const OptionSpec& option : OPTIONS) {
        text += QStringLiteral("  ") + optionSynopsis(option) + u'\n';
        text += wrapped(QLatin1String(option.description), 6) + u'\n';
    }
    text += QStringLiteral(
        "\nEnvironment:\n"
        "  KVTOOL_EMULATE\n"
        "      Use emulated probes instead of the USB bus, for example gen3, gen2 or\n"
        "      gen2,gen3 (see the README).\n"
        "  KVTOOL_CLOCK=virtual\n"
        "      With KVTOOL_EMULATE: every wait passes at once.\n"
        "  KVTOOL_LOCK_DIR\n"
        "      Directory of the probes' lock files (default /run/lock), which keep a\n"
        "      second installer off a probe that one installs on.\n"
        "\nSignals:\n"
        "  SIGINT (Ctrl-C)\n"
        "      The first lets the installs under way end and starts no new one; the\n"
        "      second abandons them and names the probes left needing an install.\n"
        "  SIGHUP, SIGTERM, SIGQUIT\n"
        "      As the first Ctrl-C, however often they come.\n"
        "  SIGPIPE\n"
        "      Ignored: output that can no longer be written is dropped; installs go on.\n"
        "\nExit status:\n"
        "  0  done (on several probes: on every one of them)\n"
        "  1  the operation failed (on several probes: also when they failed in different ways)\n"
        "  2  usage error\n"
        "  3  no probe attached, or no single probe to choose\n"
        "  4  permission denied: this user may not open the probe (see doctor)\n"
        "  5  the image file cannot be read, is no firmware image, or does not fit the probe\n"
        "  On several probes the status is the one their failures share, else 1.\n");
    return text;
}

ParsedCommandLine parseCommandLine(const QStringList& arguments) {
    const bool json = arguments.contains(QStringLiteral("--json"));
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const OptionSpec& option : OPTIONS) {
        QStringList names{QLatin1String(option.name)};
        if (names.first() == u"help") {
            names << QStringLiteral("h");
        }
        // Without a value name (a null one here) the option is a flag.
        parser.addOption(QCommandLineOption(names, QLatin1String(option.description),
                                            QLatin1String(option.valueName)));
    }
    const QStringList positional = [&] {
        if (!parser.parse(arguments)) {
            throw UsageError{parser.errorText(), QString(), json};
        }
        return parser.positionalArguments();
    }();

    if (parser.isSet(QStringLiteral("help"))) {
        return {ParsedCommandLine::Action::Help, {}};
    }
    if (parser.isSet(QStringLiteral("version"))) {
        return {ParsedCommandLine::Action::Version, {}};
    }
    ParsedCommandLine parsed;
    if (positional.isEmpty()) {
        throw UsageError{QStringLiteral("no command given"), QString(), json};
    }
    CliOptions& options = parsed.options;
    options.commandName = positional.first();
    const auto spec = std::find_if(COMMANDS.begin(), COMMANDS.end(), [&](const CommandSpec& c) {
        return options.commandName == QLatin1String(c.name);
    });
    if (spec == COMMANDS.end()) {
        throw UsageError{QStringLiteral("unknown command \"%1\"").arg(options.commandName),
                         QString(), json};
    }
    options.command = spec->command;
    const auto fail = [&](const QString& message) {
        return UsageError{message, options.commandName, json};
    };
    for (const OptionSpec& option : OPTIONS) {
        if (parser.isSet(QLatin1String(option.name)) &&
            (option.commands & bit(spec->command)) == 0) {
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
