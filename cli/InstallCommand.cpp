#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/ImageReport.h"
#include "cli/InstallReport.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "cli/ProbeSelection.h"
#include "cli/ProgressRenderer.h"
#include "engines/ProbeEngines.h"
#include "probe/InstallSession.h"

namespace {

ProgressRenderer::Style progressStyle(const CliOptions& options, const Console& console) {
    if (options.json) {
        return ProgressRenderer::Style::Json;
    }
    return console.terminal() ? ProgressRenderer::Style::Live : ProgressRenderer::Style::Plain;
}

// Shows one install session as it goes; `known` collects what the JSON result reports,
// failures included.
class Install {
public:
    Install(const CliOptions& options, Console& console)
        : options(options), console(console), progress(console, progressStyle(options, console)) {}

    void run() {
        const auto image = std::make_shared<const ImageIdentity>(readImage(imagePathOf(options)));
        known.insert(QStringLiteral("dryRun"), options.dryRun);
        known.insert(QStringLiteral("image"), imageJson(*image));
        if (!image->generation) {
            fail(CliFailure(ExitCode::BadImage, image->problem));
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
        std::unique_ptr<ProbeEngine> engine = engineForProbe(probe);
        if (!engine) {
            fail(CliFailure(ExitCode::Failed, unknownProbeMessage(probe)));
        }
        InstallSession session(std::move(engine), probe, image, {options.dryRun, false});
        connect(session, probe, *image);
        const SessionResult result = session.run();
        if (!result.succeeded()) {
            fail(CliFailure::fromSession(result.failure));
        }
        if (result.plan) {
            report(*result.plan, *result.before, *image);
        } else {
            finish(*result.after);
        }
    }

private:
    void connect(InstallSession& session, const UsbDeviceInfo& probe, const ImageIdentity& image) {
        QObject::connect(&session, &SessionEvents::started, [&](const InstalledFirmware& before) {
            known.insert(QStringLiteral("previousFirmware"), firmwareJson(before));
            start(probe, before, image);
        });
        progress.follow(session);
        QObject::connect(&session, &SessionEvents::probeStateChanged, [this](ProbeState state) {
            if (state == ProbeState::Installed) {
                progress.finish(true);
            }
        });
        QObject::connect(&session, &SessionEvents::told, [this](SessionMessage message) {
            // As the window says it for a probe that restarts into what it was given; a
            // generation-3 loader is read again at once.
            if (message == SessionMessage::AwaitingRestart) {
                say(QStringLiteral("Firmware installed."));
                say(QStringLiteral("Waiting for the probe to restart into its application"));
            }
        });
        QObject::connect(&session, &SessionEvents::finished, [this](const SessionResult& result) {
            if (!result.succeeded()) {
                progress.finish(false, result.failure.reportedTotal);
            }
        });
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

    void report(const PlanSummary& plan, const InstalledFirmware& before,
                const ImageIdentity& image) {
        if (options.json) {
            console.json(result(QJsonValue(QJsonValue::Null), planJson(plan)));
            return;
        }
        console.line(
            QStringLiteral("Would install %1 over %2, %3 bytes in %4 %5s:")
                .arg(image.versionText.isEmpty() ? QStringLiteral("the image") : image.versionText,
                     firmwareText(before))
                .arg(plan.bytes)
                .arg(plan.count)
                .arg(plan.unit));
        for (qsizetype i = 0; i < plan.steps.size(); ++i) {
            console.line(QStringLiteral("  %1. %2").arg(i + 1).arg(plan.steps[i]));
        }
    }

    void finish(const InstalledFirmware& after) {
        if (options.json) {
            console.json(result(firmwareJson(after), QJsonValue(QJsonValue::Null)));
            return;
        }
        console.line(QStringLiteral("Now installed: %1").arg(firmwareText(after)));
    }

    const CliOptions& options;
    Console& console;
    ProgressRenderer progress;
    QJsonObject known;
};

}  // namespace

void runInstall(const CliOptions& options, Console& console) {
    Install(options, console).run();
}
