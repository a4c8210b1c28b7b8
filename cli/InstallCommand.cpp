#include "app/HException.h"
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
#include "gen3/Gen3Engine.h"
#include "probe/ProbeEngine.h"
#include "probe/ProbeKind.h"

namespace {

ProgressRenderer::Style progressStyle(const CliOptions& options, const Console& console) {
    if (options.json) {
        return ProgressRenderer::Style::Json;
    }
    return console.terminal() ? ProgressRenderer::Style::Live : ProgressRenderer::Style::Plain;
}

// Runs one install; `known` collects what the JSON result reports, failures included.
class Install {
public:
    Install(const CliOptions& options, Console& console) : options(options), console(console) {}

    void run() {
        const ImageIdentity image = guarded([&] { return readImage(imagePathOf(options)); });
        known.insert(QStringLiteral("dryRun"), options.dryRun);
        known.insert(QStringLiteral("image"), imageJson(image));
        if (!image.generation) {
            fail(CliFailure(ExitCode::BadImage, image.problem));
        }
        if (options.target && image.generation != 2) {
            fail(CliFailure(ExitCode::BadImage,
                            QStringLiteral("%1 is a generation-%2 image; --target and --clocking "
                                           "choose generation-2 images")
                                .arg(image.path)
                                .arg(*image.generation)));
        }

        const UsbDeviceInfo probe = guarded([&] { return selectProbe(options.serial); });
        known.insert(QStringLiteral("probe"), probeJson(probe));
        const ProbeKind kind = ProbeKind::of(probe.productId);
        if (!kind.generation) {
            fail(CliFailure(ExitCode::Failed, unknownProbeMessage(probe)));
        }
        if (*kind.generation != *image.generation) {
            fail(CliFailure(ExitCode::BadImage,
                            QStringLiteral("%1 is a generation-%2 image, but the probe %3 is "
                                           "generation %4")
                                .arg(image.path)
                                .arg(*image.generation)
                                .arg(probe.serialNumber())
                                .arg(*kind.generation)));
        }
        const std::unique_ptr<ProbeEngine> engine = ProbeEngine::forGeneration(kind.generation);
        // What the install would refuse only once under way is refused before any frame.
        guarded([&] {
            try {
                engine->check(probe, image);
            } catch (const HException& e) {
                throw CliFailure::fromImage(e);
            }
            return 0;
        });

        // What the probe has now, read as the page reads it when it shows the probe.
        const InstalledFirmware before = operation([&] { return engine->readInstalled(probe); });
        known.insert(QStringLiteral("previousFirmware"), firmwareJson(before));
        start(probe, before, image);

        InstallPlan plan = operation([&] { return engine->plan(probe, image); });
        if (options.dryRun) {
            report(plan, before, image);
            return;
        }
        ProgressRenderer progress(console, progressStyle(options, console));
        QObject::connect(engine.get(), &ProbeEngine::progress, &progress,
                         &ProgressRenderer::progress);
        operation([&] {
            try {
                plan.run();
            } catch (const HException& e) {
                // A failing transfer step reports its phase's total on its way out.
                progress.finish(false, dynamic_cast<const TransferStepFailure*>(&e) != nullptr);
                throw;
            }
            progress.finish(true);
            return 0;
        });
        if (*kind.generation == 2) {
            say(QStringLiteral("Firmware installed."));
            say(QStringLiteral("Waiting for the probe to restart into its application"));
        }
        finish(operation([&] { return engine->awaitReturn(probe); }));
    }

private:
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

    // Runs `step` of the engine; its HException is the operation's failure.
    template <typename Step>
    auto operation(Step step) -> decltype(step()) {
        return guarded([&] {
            try {
                return step();
            } catch (const HException& e) {
                throw CliFailure::fromOperation(e);
            }
        });
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

    void report(const InstallPlan& plan, const InstalledFirmware& before,
                const ImageIdentity& image) {
        if (options.json) {
            console.json(result(QJsonValue(QJsonValue::Null), planJson(plan)));
            return;
        }
        const QString version = image.versionText();
        console.line(QStringLiteral("Would install %1 over %2, %3 bytes in %4 %5s:")
                         .arg(version.isEmpty() ? QStringLiteral("the image") : version,
                              firmwareText(before))
                         .arg(plan.bytes)
                         .arg(plan.count())
                         .arg(plan.unit));
        const QStringList steps = plan.descriptions();
        for (qsizetype i = 0; i < steps.size(); ++i) {
            console.line(QStringLiteral("  %1. %2").arg(i + 1).arg(steps[i]));
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
    QJsonObject known;
};

}  // namespace

void runInstall(const CliOptions& options, Console& console) {
    Install(options, console).run();
}
