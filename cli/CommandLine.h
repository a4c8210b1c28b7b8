#pragma once

#include "gen2/KV2Variant.h"

#include <QString>
#include <QStringList>

#include <optional>

// The commands of kvtool-cli.
enum class Command { List, Info, Install, Image, Doctor, Watch, Update };

// What the command line asks for, checked: every option applies to the command, every
// value is one the command takes.
struct CliOptions {
    Command command = Command::List;
    QString commandName;  // as typed: "list", "info", ...
    bool json = false;
    bool verbose = false;
    bool dryRun = false;
    QString serial;            // empty: the only probe attached
    QStringList serials;       // install, update: every --serial given (several: them all)
    bool all = false;          // install --all: every attached probe of the image's generation;
                               // update --all: every attached probe
    bool force = false;        // watch: install on probes that already run the image's version
    std::optional<int> count;  // watch: end after so many probes
    QString logFile;           // install (several probes), watch: one JSON line per probe
    QString file;              // install FILE, image FILE, watch FILE
    std::optional<kv2::TargetFamily> target;
    std::optional<kv2::JtagClocking> clocking;
    QString firmwareDirectory;        // empty: the firmware folders (see FirmwareLibrary)
    QStringList firmwareDirectories;  // update: every --firmware-dir given, in order

    // Whether an install works on several probes at once (--all, or --serial more than
    // once).
    bool rack() const { return all || serials.size() > 1; }
};

struct ParsedCommandLine {
    enum class Action { Run, Help, Version };
    Action action = Action::Run;
    CliOptions options;
    std::optional<Command> helpCommand;  // Help: the command whose help was asked for
};

// A command line that cannot be run: what is wrong, in one line.
struct UsageError {
    QString message;
    QString commandName;        // the command as typed, when one was (known or not)
    bool json = false;          // whether --json was given (the error is then also a JSON object)
    bool commandKnown = false;  // whether commandName is a command of kvtool-cli
};

// Reads `arguments` (the program name first). Throws UsageError.
ParsedCommandLine parseCommandLine(const QStringList& arguments);

// The text of --help: usage, commands, options, environment and exit status.
QString helpText();
// The text of COMMAND --help: its usage, what it does and its options.
QString commandHelpText(Command command);
// Where a usage error points for help: "kvtool-cli install --help" when the command is
// known, else "kvtool-cli --help".
QString usageHint(const UsageError& error);
// "kvtool-cli 1.0.0".
QString versionText();
