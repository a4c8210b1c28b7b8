#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/ImageReport.h"
#include "cli/InstallReport.h"
#include "cli/Interrupts.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "cli/ProbeJob.h"
#include "cli/ProbeSelection.h"
#include "cli/ProductionLog.h"
#include "cli/ProgressRenderer.h"
#include "cli/Rack.h"
#include "cli/SessionThread.h"
#include "engines/ProbeEngines.h"
#include "probe/InstallSession.h"

#include <QElapsedTimer>

namespace {

ProgressRenderer::Style progressStyle(const CliOptions& options, const Console& console) {
    if (options.json) {
        return ProgressRenderer::Style::Json;
    }
    return console.terminal() ? ProgressRenderer::Style::Live : ProgressRenderer::Style::Plain;
}

// Shows one install session as it goes; `known` collects what the JSON result reports,
// failures included. The session runs on a thread of its own (runSessionThread), so that
// signals are heard while it runs; its events reach this thread queued, each through a
// connection with a receiver of this thread.
class Install {
public:
    Install(const CliOptions& options, Console& console)
        : options(options), console(console), progress(console, progressStyle(options, console)) {}

    void run() {
        // The record of the install is checked before anything else is done.
        if (!options.logFile.isEmpty()) {
            records = ProductionLog::open(options.logFile);
        }
        const auto image = std::make_shared<const ImageIdentity>(readImageFor(
            imagePathOf(options), [this] { return generationOfProbes(options.serials, false); }));
        imageSha256 = image->sha256;
        known.insert(QStringLiteral("dryRun"), options.dryRun);
        known.insert(QStringLiteral("image"), imageJson(*image));
        known.insert(QStringLiteral("phases"), QJsonValue(QJsonValue::Null));
        known = merged(known, stationJson());
        if (!image->generation) {
            fail(CliFailure(ExitCode::BadImage, image->problem));
        }
        if (const QString mismatch = variantMismatch(options, *image); !mismatch.isEmpty()) {
            fail(CliFailure(ExitCode::BadImage, mismatch));
        }
        if (options.target && image->generation != 2) {
            fail(CliFailure(ExitCode::BadImage,
                            QStringLiteral("%1 is a generation-%2 image; --target and --clocking "
                                           "choose generation-2 images")
                                .arg(image->path)
                                .arg(*image->generation)));
        }
        const UsbDeviceInfo probe = guarded([&] { return selectProbe(options.serial); });
        known.insert(QStringLiteral("probe"), probeJson(probe));
        if (!engineForProbe(probe)) {
            fail(CliFailure(ExitCode::Failed, unknownProbeMessage(probe)));
        }
        // From the first frame to the last word, the signals are this command's.
        Interrupts interrupts;
        clock.start();
        const SessionResult result = runSessionThread(
            [&] {
                return std::make_unique<InstallSession>(
                    engineForProbe(probe), probe, image,
                    InstallSession::Options{options.dryRun, false});
            },
            [&](InstallSession& session) { connect(session, probe, *image); }, console, interrupts,
            [&](ProbeState state) { abandon(probe, state); });
        known.insert(QStringLiteral("phases"), phasesJson(result.phaseTimes));
        // A record that could not be written fails the command, whatever the install did.
        const bool lost = !record(probe, result).isEmpty();
        if (!result.succeeded()) {
            CliFailure failure = CliFailure::fromSession(result.failure);
            if (lost) {
                failure.exitCode = ExitCode::Failed;
            }
            fail(failure);
        }
        if (result.plan) {
            report(*result.plan, *result.before, *image, lost);
        } else {
            finish(*result.after, lost);
        }
        if (lost) {
            fail(CliFailure(
                ExitCode::Failed,
                QStringLiteral("the record could not be written to %1").arg(records->path())));
        }
    }

private:
    void connect(InstallSession& session, const UsbDeviceInfo& probe, const ImageIdentity& image) {
        QObject::connect(
            &session, &SessionEvents::started, &progress, [&](const InstalledFirmware& firmware) {
                firmwareBefore = firmware;
                known.insert(QStringLiteral("previousFirmware"), firmwareJson(firmware));
                start(probe, firmware, image);
            });
        progress.follow(session);
        QObject::connect(&session, &SessionEvents::probeStateChanged, &progress,
                         [this](ProbeState state) {
                             if (state == ProbeState::Installed) {
                                 progress.finish(true);
                             }
                         });
        QObject::connect(&session, &SessionEvents::told, &progress, [this](SessionMessage message) {
            // As the window says it for a probe that restarts into what it was given; a
            // generation-3 loader is read again at once.
            if (message == SessionMessage::AwaitingRestart) {
                say(QStringLiteral("Firmware installed."));
                say(QStringLiteral("Waiting for the probe to restart into its application"));
            }
        });
        QObject::connect(&session, &SessionEvents::finished, &progress,
                         [this](const SessionResult& result) {
                             if (!result.succeeded()) {
                                 progress.finish(false, result.failure.reportedTotal);
                             }
                         });
    }

    // Appends the install's record to the --log file, if there is one; returns why it could
    // not be written (said on standard error), or nothing.
    QString record(const UsbDeviceInfo& probe, const SessionResult& result) {
        if (!records) {
            return QString();
        }
        const std::unique_ptr<ProbeJob> job(
            ProbeJob::fromResult(probe, result, clock.elapsed(), false));
        QString problem = records->append(Rack::resultJson(job.get()));
        if (!problem.isEmpty()) {
            console.error(records->lostMessage(probe.serialNumber(), problem));
        }
        return problem;
    }

    // The second Ctrl-C: what is said and recorded before the process ends at once.
    void abandon(const UsbDeviceInfo& probe, ProbeState state) {
        console.error(Interrupts::abandonedText(
            state == ProbeState::NeedsInstall ? QStringList{probe.serialNumber()} : QStringList()));
        SessionResult result;
        result.failure = {FailureKind::Abandoned, QStringLiteral("the install was abandoned"),
                          QString()};
        result.probeState = state;
        result.before = firmwareBefore;
        result.imageSha256 = imageSha256;
        record(probe, result);
        console.error(QStringLiteral("kvtool-cli: ") + result.failure.message);
        if (options.json) {
            QJsonObject object = jsonResult(options.commandName, exitStatus(ExitCode::Failed),
                                            result.failure.message);
            object.insert(QStringLiteral("event"), QStringLiteral("result"));
            for (const char* key :
                 {"probe", "image", "previousFirmware", "firmware", "plan", "phases"}) {
                object.insert(QLatin1String(key), QJsonValue(QJsonValue::Null));
            }
            console.json(merged(object, known));
        }
    }

    [[noreturn]] void fail(CliFailure failure) { throw failure.with(known); }

    // Runs `step`; a CliFailure out of it carries what is known so far.
    template <typename Step>
    auto guarded(Step step) -> decltype(step()) {
        try {
            return step();
        } catch (CliFailure& failure) {
            fail(failure);
        }
    }

    // The JSON result of an install that did its job.
    QJsonObject result(const QJsonValue& firmware, const QJsonValue& plan) const {
        QJsonObject object = merged(jsonResult(options.commandName, 0), known);
        object.insert(QStringLiteral("event"), QStringLiteral("result"));
        object.insert(QStringLiteral("firmware"), firmware);
        object.insert(QStringLiteral("plan"), plan);
        return object;
    }

    void say(const QString& text) {
        if (options.json) {
            QJsonObject event = jsonObject(options.commandName);
            event.insert(QStringLiteral("event"), QStringLiteral("message"));
            event.insert(QStringLiteral("text"), text);
            console.json(event);
        } else {
            console.line(text);
        }
    }

    void start(const UsbDeviceInfo& probe, const InstalledFirmware& before,
               const ImageIdentity& image) {
        if (options.json) {
            QJsonObject event = jsonObject(options.commandName);
            event.insert(QStringLiteral("event"), QStringLiteral("start"));
            for (const QString& key :
                 {QStringLiteral("dryRun"), QStringLiteral("probe"),
                  QStringLiteral("previousFirmware"), QStringLiteral("image")}) {
                event.insert(key, known.value(key));
            }
            console.json(event);
            return;
        }
        if (options.dryRun) {
            console.line(QStringLiteral("Dry run: nothing that changes the probe is sent."));
        }
        console.line(QStringLiteral("Probe:      %1").arg(describeProbe(probe)));
        console.line(QStringLiteral("Installed:  %1").arg(firmwareText(before)));
        console.line(QStringLiteral("Image:      %1 (%2)").arg(image.path, imageSummary(image)));
    }

    // A dry run's plan, as the result (unless the record was `lost`: the failure is then
    // the JSON result, with the plan).
    void report(const PlanSummary& plan, const InstalledFirmware& before,
                const ImageIdentity& image, bool lost) {
        if (options.json) {
            if (lost) {
                known.insert(QStringLiteral("plan"), planJson(plan));
            } else {
                console.json(result(QJsonValue(QJsonValue::Null), planJson(plan)));
            }
            return;
        }
        console.line(QStringLiteral("Would install %1 over %2, %3 bytes in %4 %5s:")
                         .arg(imageFirmwareText(image), firmwareText(before))
                         .arg(plan.bytes)
                         .arg(plan.count)
                         .arg(plan.unit));
        for (qsizetype i = 0; i < plan.steps.size(); ++i) {
            console.line(QStringLiteral("  %1. %2").arg(i + 1).arg(plan.steps[i]));
        }
    }

    // What the probe runs now, as the result (or, as for report(), with the failure).
    void finish(const InstalledFirmware& after, bool lost) {
        if (options.json) {
            if (lost) {
                known.insert(QStringLiteral("firmware"), firmwareJson(after));
            } else {
                console.json(result(firmwareJson(after), QJsonValue(QJsonValue::Null)));
            }
            return;
        }
        console.line(QStringLiteral("Now installed: %1").arg(firmwareText(after)));
    }

    const CliOptions& options;
    Console& console;
    ProgressRenderer progress;
    QJsonObject known;
    std::optional<InstalledFirmware> firmwareBefore;
    QString imageSha256;
    std::unique_ptr<ProductionLog> records;
    QElapsedTimer clock;
};

}  // namespace

void runInstall(const CliOptions& options, Console& console) {
    Install(options, console).run();
}
