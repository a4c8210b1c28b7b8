#include "cli/Rack.h"

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/ImageReport.h"
#include "cli/InstallReport.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "cli/ProductionLog.h"
#include "cli/ProgressRenderer.h"
#include "engines/ProbeEngines.h"
#include "probe/ChildSession.h"

#include <QCoreApplication>

#include <QEventLoop>

namespace {

// How often the live lines are drawn again (their rates and times move on their own).
constexpr int REDRAW_MS = 200;

QString outcomeName(const ProbeJob* job) {
    switch (job->outcome()) {
        case ProbeJob::Outcome::Installed:
            return QStringLiteral("installed");
        case ProbeJob::Outcome::Planned:
            return QStringLiteral("planned");
        case ProbeJob::Outcome::Failed:
            return QStringLiteral("failed");
        case ProbeJob::Outcome::UpToDate:
            if (job->update()) {
                return QStringLiteral("upToDate");
            }
            return QStringLiteral("skipped");
        case ProbeJob::Outcome::Skipped:
            return QStringLiteral("skipped");
        case ProbeJob::Outcome::Running:
            break;
    }
    return QStringLiteral("running");
}

// What a probe had or has, in a few words ("-" for nothing known).
QString firmwareWords(const std::optional<InstalledFirmware>& firmware) {
    if (!firmware || firmware->state == InstalledFirmware::State::Unknown) {
        return QStringLiteral("-");
    }
    return firmwareText(*firmware);
}

QJsonValue firmwareOrNull(const std::optional<InstalledFirmware>& firmware) {
    return firmware ? QJsonValue(firmwareJson(*firmware)) : QJsonValue(QJsonValue::Null);
}

// `line` cut to width - 1 columns (the last column would wrap), its end marked.
QString fitted(const QString& line, int width) {
    if (width <= 1 || line.size() < width) {
        return line;
    }
    return line.left(width - 2) + QChar(0x2026);  // …
}

QString seconds(qint64 ms) {
    return QStringLiteral("%1 s").arg(double(ms) / MS_PER_S, 0, 'f', 1);
}

}  // namespace

Rack::Rack(const CliOptions& options, Console& console, const ImageIdentity& image,
           ProductionLog* records)
    : Rack(options, console, {}, std::nullopt, records) {
    this->image = std::make_shared<const ImageIdentity>(image);
}

Rack::Rack(const CliOptions& options, Console& console, FirmwareLibrary::Images offers,
           std::optional<QString> variant, ProductionLog* records)
    : options(options),
      console(console),
      offers(std::move(offers)),
      variant(std::move(variant)),
      records(records) {
    connect(&redraw, &QTimer::timeout, this, &Rack::draw);
    if (console.terminal() && !options.json) {
        redraw.start(REDRAW_MS);
    }
}

Rack::~Rack() {
    abandon();
}

void Rack::install(const UsbDeviceInfo& probe) {
    sessionwire::Request request;
    request.probe = probe;
    // An update offers the images of the probe's generation, which its session chooses from.
    QList<std::shared_ptr<const ImageBytes>> offered;
    if (!image) {
        const std::unique_ptr<ProbeEngine> engine = engineForProbe(probe);
        // --target and --clocking choose generation-2 images; other probes keep their own.
        const bool generation2 = engine && engine->generation() == 2;
        request.update = sessionwire::Request::Update{{}, generation2 ? variant : std::nullopt};
        for (const auto& offer : offers) {
            if (engine && offer->generation == engine->generation()) {
                request.update->offers << offer->path;
                offered << offer->storage;
            }
        }
    } else {
        request.imagePath = image->path;
    }
    request.options.dryRun = options.dryRun;
    // watch leaves a probe that runs the image already alone, unless told otherwise.
    request.options.skipIfRunning = options.command == Command::Watch && !options.force;
    request.verbose = options.verbose;
    // Another watch that holds the probe installs it; an install was asked for this one.
    request.inUseSkipped = options.command == Command::Watch;
    request.record = records != nullptr;
    auto* session = new ChildSession(request, image ? image->storage : nullptr);
    session->setOffers(offered);
    if (records != nullptr) {
        session->setRecordFile(records->descriptor());
    }
    ProbeJob* job = add(new ProbeJob(probe, session, this));
    job->setInUseSkipped(request.inUseSkipped);
    job->setUpdate(!image);
    tell(job);
    job->start(QCoreApplication::applicationFilePath());
}

void Rack::skip(const UsbDeviceInfo& probe, const QString& reason) {
    ended(add(ProbeJob::skipped(probe, reason, this)));
}

void Rack::refuse(const UsbDeviceInfo& probe, const QString& error, ExitCode code) {
    ended(add(ProbeJob::refused(probe, error, code, this)));
}

ProbeJob* Rack::add(ProbeJob* job) {
    all << job;
    connect(job, &ProbeJob::ended, this, [this, job] { ended(job); });
    connect(job, &ProbeJob::phaseChanged, this, [this, job] { phaseChanged(job); });
    return job;
}

void Rack::tell(ProbeJob* job) {
    SessionEvents* events = job->events();
    const QString serial = job->probe().serialNumber();
    if (options.verbose) {
        connect(static_cast<ChildSession*>(events), &ChildSession::traced, this,
                [this, serial](const QString& line) { console.error(serial + u": " + line); });
    }
    if (!options.json) {
        return;
    }
    // Each probe's events, named by its serial number and port; its result is told as the
    // probe's (ended), so that the last line stays the whole command's.
    const QJsonObject fields{{QStringLiteral("command"), options.commandName},
                             {QStringLiteral("serial"), serial},
                             {QStringLiteral("port"), job->probe().port()}};
    const auto emitEvent = [this, fields](const char* kind, const QJsonObject& keys) {
        QJsonObject event = merged(merged(jsonObject(options.commandName), keys), fields);
        event.insert(QStringLiteral("event"), QLatin1String(kind));
        console.json(event);
    };
    // The image: the rack's, or the one an update chose among those it offered.
    auto chosen = std::make_shared<std::shared_ptr<const ImageIdentity>>(image);
    connect(events, &SessionEvents::imageChosen, this,
            [this, chosen](const QString&, const QString& sha256) {
                for (const auto& offer : offers) {
                    if (offer->sha256 == sha256) {
                        *chosen = offer;
                    }
                }
            });
    connect(events, &SessionEvents::started, this,
            [this, emitEvent, job, chosen](const InstalledFirmware& before) {
                emitEvent("start",
                          {{QStringLiteral("dryRun"), options.dryRun},
                           {QStringLiteral("probe"), probeJson(job->probe())},
                           {QStringLiteral("previousFirmware"), firmwareJson(before)},
                           {QStringLiteral("image"), *chosen ? QJsonValue(imageJson(**chosen))
                                                             : QJsonValue(QJsonValue::Null)}});
            });
    connect(events, &SessionEvents::told, this, [emitEvent](SessionMessage message) {
        if (message == SessionMessage::AwaitingRestart) {
            for (const char* text :
                 {"Firmware installed.", "Waiting for the probe to restart into its application"}) {
                emitEvent("message", {{QStringLiteral("text"), QLatin1String(text)}});
            }
        }
    });
    auto* renderer = new ProgressRenderer(console, ProgressRenderer::Style::Json, job);
    renderer->setEventFields(fields);
    renderer->follow(*events);
}

void Rack::phaseChanged(ProbeJob* job) {
    if (options.json || console.terminal()) {
        return;
    }
    const QString serial = job->probe().serialNumber();
    // A phase that another follows ended well, at its total.
    if (const auto previous = shownPhase.constFind(job); previous != shownPhase.cend()) {
        console.line(serial + QStringLiteral(": ") +
                     ProgressRenderer::endLine(previous->text, true, previous->total,
                                               previous->total, previous->units,
                                               quint32(previous->clock.elapsed())));
    }
    ShownPhase& shown = shownPhase[job];
    shown = {job->phase(), job->total(), job->units(), {}};
    shown.clock.start();
    console.line(serial + QStringLiteral(": ") +
                 ProgressRenderer::startLine(job->phase(), job->total(), job->units()));
}

void Rack::ended(ProbeJob* job) {
    log(job);
    if (options.json) {
        QJsonObject event = merged(jsonObject(options.commandName), resultJson(job));
        event.insert(QStringLiteral("event"), QStringLiteral("probeResult"));
        event.insert(QStringLiteral("plan"), job->plan() ? QJsonValue(planJson(*job->plan()))
                                                         : QJsonValue(QJsonValue::Null));
        console.json(event);
    } else {
        if (const auto shown = shownPhase.constFind(job); shown != shownPhase.cend()) {
            // Ended well at its total, or failed where it really stopped.
            const std::optional<qint64> stopped =
                job->succeeded()
                    ? std::nullopt
                    : ProgressRenderer::stoppedAt(job->done(), job->doneBefore(), shown->total,
                                                  job->stepReportedTotal());
            console.line(job->probe().serialNumber() + QStringLiteral(": ") +
                         ProgressRenderer::endLine(shown->text, !stopped,
                                                   stopped.value_or(shown->total), shown->total,
                                                   shown->units, quint32(shown->clock.elapsed())));
            shownPhase.erase(shown);
        }
        console.line(resultLine(job));
        draw();
    }
}

QString Rack::resultLine(const ProbeJob* job) const {
    QString line = QStringLiteral("%1  %2").arg(job->probe().serialNumber(), outcomeName(job));
    switch (job->outcome()) {
        case ProbeJob::Outcome::Installed:
            line += QStringLiteral(": %1 -> %2 in %3")
                        .arg(firmwareWords(job->before()), firmwareWords(job->after()),
                             seconds(job->elapsedMs()));
            break;
        case ProbeJob::Outcome::Planned:
            line += QStringLiteral(": %1 -> %2 (dry run: nothing sent)")
                        .arg(firmwareWords(job->before()),
                             image ? imageFirmwareText(*image)
                                   : QStringLiteral("the newest image of the firmware folders"));
            break;
        case ProbeJob::Outcome::UpToDate:
            if (job->update()) {
                line += QStringLiteral(": %1, nothing newer in the firmware folders")
                            .arg(firmwareWords(job->before()));
                break;
            }
            line += QStringLiteral(": ") + job->error();
            break;
        case ProbeJob::Outcome::Failed:
        case ProbeJob::Outcome::Skipped:
            line += QStringLiteral(": ") + job->error();
            break;
        case ProbeJob::Outcome::Running:
            break;
    }
    return line + QStringLiteral("  (%1)").arg(totals());
}

void Rack::draw() {
    if (!console.terminal() || options.json) {
        return;
    }
    QStringList lines;
    for (const ProbeJob* job : all) {
        if (job->finished()) {
            continue;
        }
        const QString serial = job->probe().serialNumber();
        if (job->total() == 0) {
            lines << fitted(
                serial + QStringLiteral("  ") +
                    (job->phase().isEmpty() ? QStringLiteral("starting") : job->phase()),
                console.width());
            continue;
        }
        lines << ProgressRenderer::liveLine(serial + QStringLiteral("  ") + job->phase(),
                                            job->done(), job->total(), job->units(),
                                            quint32(job->phaseElapsedMs()), console.width());
    }
    console.liveLines(lines);
}

void Rack::log(ProbeJob* job) {
    if (records == nullptr) {
        return;
    }
    std::optional<QString> problem = job->recordedBySession();
    if (!problem) {
        problem = records->append(resultJson(job));
    }
    if (!problem->isEmpty()) {
        ++lost;
        console.error(records->lostMessage(job->probe().serialNumber(), *problem));
    }
}

void Rack::runUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer check;
    connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    check.start(REDRAW_MS / 4);
    if (!done()) {
        loop.exec();
    }
    if (console.terminal() && !options.json) {
        console.liveLines({});
    }
}

bool Rack::running() const {
    return count(ProbeJob::Outcome::Running) > 0;
}

QStringList Rack::abandon() {
    for (ProbeJob* job : all) {
        if (!job->finished()) {
            job->abandon();
        }
    }
    if (running()) {
        runUntil([this] { return !running(); });
    }
    QStringList left;
    for (const ProbeJob* job : all) {
        if (job->outcome() == ProbeJob::Outcome::Failed && job->needsInstall()) {
            left << job->probe().serialNumber();
        }
    }
    return left;
}

int Rack::count(ProbeJob::Outcome outcome) const {
    return int(std::ranges::count(all, outcome, &ProbeJob::outcome));
}

ExitCode Rack::exitCode() const {
    if (lost > 0) {
        return ExitCode::Failed;
    }
    std::optional<ExitCode> shared;
    for (const ProbeJob* job : all) {
        if (job->outcome() != ProbeJob::Outcome::Failed) {
            continue;
        }
        if (shared && *shared != job->exitCode()) {
            return ExitCode::Failed;
        }
        shared = job->exitCode();
    }
    return shared.value_or(ExitCode::Done);
}

QString Rack::totals() const {
    QString text =
        QStringLiteral("%1 %2")
            .arg(count(options.dryRun ? ProbeJob::Outcome::Planned : ProbeJob::Outcome::Installed))
            .arg(options.dryRun ? QStringLiteral("planned") : QStringLiteral("installed"));
    if (!image) {
        text += QStringLiteral(", %1 up to date").arg(count(ProbeJob::Outcome::UpToDate));
    }
    return text + QStringLiteral(", %1 failed, %2 skipped")
                      .arg(count(ProbeJob::Outcome::Failed))
                      .arg(count(ProbeJob::Outcome::Skipped));
}

QStringList Rack::table() const {
    QList<QStringList> rows{{QStringLiteral("SERIAL"), QStringLiteral("BEFORE"),
                             QStringLiteral("AFTER"), QStringLiteral("RESULT"),
                             QStringLiteral("TIME")}};
    for (const ProbeJob* job : all) {
        rows << QStringList{job->probe().serialNumber(), firmwareWords(job->before()),
                            firmwareWords(job->after()), outcomeName(job),
                            seconds(job->elapsedMs())};
    }
    QStringList lines = Console::columns(rows);
    for (const ProbeJob* job : all) {
        if (job->outcome() == ProbeJob::Outcome::Failed) {
            lines << QStringLiteral("%1 failed: %2%3")
                         .arg(job->probe().serialNumber(), job->error(),
                              job->usbReason().isEmpty()
                                  ? QString()
                                  : QStringLiteral(" (last USB error: %1)").arg(job->usbReason()));
        }
    }
    return lines;
}

QJsonObject Rack::resultJson(const ProbeJob* job) {
    QJsonObject result{
        {QStringLiteral("serial"), job->probe().serialNumber()},
        {QStringLiteral("port"), job->probe().port()},
        {QStringLiteral("ok"), job->succeeded()},
        {QStringLiteral("result"), outcomeName(job)},
        {QStringLiteral("error"), jsonText(job->error().isEmpty() ? QString() : job->error())},
        {QStringLiteral("usbError"),
         jsonText(job->usbReason().isEmpty() ? QString() : job->usbReason())},
        {QStringLiteral("before"), firmwareOrNull(job->before())},
        {QStringLiteral("after"), firmwareOrNull(job->after())},
        {QStringLiteral("seconds"), double(job->elapsedMs()) / MS_PER_S},
        {QStringLiteral("sha256"),
         jsonText(job->imageSha256().isEmpty() ? QString() : job->imageSha256())},
        {QStringLiteral("phases"), phasesJson(job->phaseTimes())},
    };
    return merged(result, stationJson());
}

QJsonArray Rack::probesJson() const {
    QJsonArray probes;
    for (const ProbeJob* job : all) {
        probes.append(resultJson(job));
    }
    return probes;
}
