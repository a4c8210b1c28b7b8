#pragma once

#include "cli/CommandLine.h"

#include <QStringList>

#include <optional>

class Console;
class CliFailure;

// kvtool-cli from the command line to the exit status: reads the arguments, puts the USB
// backend in place (the emulated bus when KVTOOL_EMULATE says so, watched for --verbose),
// runs the command and reports how it ended, as text on standard error or, with --json,
// also as a JSON result on standard output; and fails it when its output could not be
// written.
class CliApplication {
public:
    explicit CliApplication(Console& console) : console(console) {}

    // Runs the command line `arguments` (the program name first); returns the exit status.
    int run(const QStringList& arguments);

private:
    // Runs `arguments` and returns the status; `command` is set once one is to run.
    int runCommandLine(const QStringList& arguments, std::optional<Command>& command);
    int runCommand(const CliOptions& options);
    int report(const CliOptions& options, const CliFailure& failure, const QString& usbError);

    Console& console;
};
