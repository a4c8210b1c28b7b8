#include "cli/CliApplication.h"

#include "app/HException.h"
#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/InstallReport.h"
#include "cli/JsonOutput.h"
#include "cli/SessionCommand.h"
#include "cli/WatchedBackend.h"

#include <cerrno>
#include <exception>

namespace {

constexpr char PREFIX[] = "kvtool-cli: ";

// The keys of an install's result, null where the install did not get that far.
constexpr const char* INSTALL_RESULT_KEYS[] = {"probe",    "image", "previousFirmware",
                                               "firmware", "plan",  "phases"};

}  // namespace

int CliApplication::run(const QStringList& arguments) {
    // The session mode of a kvtool-cli that installs on several probes at once: not a
    // command of the command line.
    if (arguments.size() == 2 && arguments[1] == u"session") {
        return runSessionCommand(console);
    }
    std::optional<Command> command;
    const int status = runCommandLine(arguments, command);
    // Output that could not be written fails the command, as in the core utilities: said
    // on standard error, status 1 unless the command failed with a status of its own. A
    // reader that went away during an install or a watch only ends their output: the
    // installs under way go on and the status is theirs.
    const int error = console.outputError();
    const bool installs = command == Command::Install || command == Command::Watch;
    if (error == 0 || (error == EPIPE && installs)) {
        return status;
    }
    console.error(QLatin1String(PREFIX) + QStringLiteral("write error: ") + qt_error_string(error));
    return status == exitStatus(ExitCode::Done) ? exitStatus(ExitCode::Failed) : status;
}

int CliApplication::runCommandLine(const QStringList& arguments, std::optional<Command>& command) {
    ParsedCommandLine parsed;
    try {
        parsed = parseCommandLine(arguments);
    } catch (const UsageError& error) {
        console.error(QLatin1String(PREFIX) + error.message);
        console.error(QStringLiteral("Try '%1' for more information.").arg(usageHint(error)));
        if (error.json) {
            console.json(jsonResult(error.commandName, exitStatus(ExitCode::Usage), error.message,
                                    usageHint(error)));
        }
        return exitStatus(ExitCode::Usage);
    }
    switch (parsed.action) {
        case ParsedCommandLine::Action::Help:
            console.line((parsed.helpCommand ? commandHelpText(*parsed.helpCommand) : helpText())
                             .chopped(1));
            return exitStatus(ExitCode::Done);
        case ParsedCommandLine::Action::Version:
            console.line(versionText());
            return exitStatus(ExitCode::Done);
        case ParsedCommandLine::Action::Run:
            break;
    }
    command = parsed.options.command;
    return runCommand(parsed.options);
}

int CliApplication::runCommand(const CliOptions& options) {
    WatchedBackend backend(options.verbose, console);
    const auto failed = [&](const CliFailure& failure) {
        backend.flush();
        return report(options, failure, failure.usbReason.value_or(backend.lastUsbError()));
    };
    try {
        switch (options.command) {
            case Command::List:
                runList(options, console);
                break;
            case Command::Info:
                runInfo(options, console);
                break;
            case Command::Install:
                if (options.rack()) {
                    runRackInstall(options, console);
                } else {
                    runInstall(options, console);
                }
                break;
            case Command::Watch:
                runWatch(options, console);
                break;
            case Command::Update:
                runUpdate(options, console);
                break;
            case Command::Image:
                runImage(options, console);
                break;
            case Command::Doctor:
                runDoctor(options, console);
                break;
        }
        backend.flush();
        return exitStatus(ExitCode::Done);
    } catch (const CliFailure& failure) {
        return failed(failure);
    } catch (const HException& error) {
        return failed(CliFailure::fromOperation(error));
    } catch (const std::exception& error) {
        return failed(CliFailure(
            ExitCode::Failed,
            QStringLiteral("internal error: %1").arg(QString::fromLocal8Bit(error.what()))));
    }
}

int CliApplication::report(const CliOptions& options, const CliFailure& failure,
                           const QString& usbError) {
    console.error(QLatin1String(PREFIX) + failure.message);
    if (!failure.hint.isEmpty()) {
        console.error(QLatin1String(PREFIX) + QStringLiteral("hint: ") + failure.hint);
    }
    if (options.verbose && !usbError.isEmpty()) {
        console.error(QLatin1String(PREFIX) + QStringLiteral("last USB error: ") + usbError);
    }
    if (options.json) {
        QJsonObject result = jsonResult(options.commandName, exitStatus(failure.exitCode),
                                        failure.message, failure.hint, usbError);
        if (options.command == Command::Install || options.command == Command::Watch ||
            options.command == Command::Update) {
            result.insert(QStringLiteral("event"), QStringLiteral("result"));
            result.insert(QStringLiteral("dryRun"), options.dryRun);
            for (const char* key : INSTALL_RESULT_KEYS) {
                result.insert(QLatin1String(key), QJsonValue(QJsonValue::Null));
            }
            result = merged(result, stationJson());
        }
        console.json(merged(result, failure.json));
    }
    return exitStatus(failure.exitCode);
}
