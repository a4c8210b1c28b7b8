#include "cli/Rack.h"

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/JsonOutput.h"
#include "cli/ProgressRenderer.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>

namespace {

// How often the live lines are drawn again (their rates and times move on their own).
constexpr int REDRAW_MS = 200;

QString outcomeName(ProbeJob::Outcome outcome) {
    switch (outcome) {
        case ProbeJob::Outcome::Installed:
            return QStringLiteral("installed");
        case ProbeJob::Outcome::Planned:
            return QStringLiteral("planned");
        case ProbeJob::Outcome::Failed:
            return QStringLiteral("failed");
        case ProbeJob::Outcome::Skipped:
            return QStringLiteral("skipped");
        case ProbeJob::Outcome::Running:
            break;
    }
    return QStringLiteral("running");
}

// What a firmware object of the JSON output says, in a few words ("-" for nothing known).
QString firmwareWords(const QJsonObject& firmware) {
    const QString state = firmware.value(QLatin1String("state")).toString();
    if (state == u"installed") {
        const QString variant = firmware.value(QLatin1String("variant")).toString();
        const QString version = firmware.value(QLatin1String("versionText")).toString();
        return variant.isEmpty() ? version : version + QStringLiteral(", ") + variant;
    }
    if (state == u"notInstalled") {
        return QStringLiteral("Not Installed");
    }
    if (state == u"bootloaderRunning") {
        return QStringLiteral("bootloader running");
    }
    return QStringLiteral("-");
}

QJsonValue objectOrNull(const QJsonObject& object) {
    return object.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(object);
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

Rack::Rack(const CliOptions& options, Console& console, const ImageIdentity& image)
    : options(options), console(console), image(image) {
    connect(&redraw, &QTimer::timeout, this, &Rack::draw);
    if (console.terminal() && !options.json) {
        redraw.start(REDRAW_MS);
    }
}

Rack::~Rack() {
    abandon();
}

void Rack::install(const UsbDeviceInfo& probe) {
    QStringList arguments{QStringLiteral("install"), image.path, QStringLiteral("--serial"),
                          probe.serialNumber(), QStringLiteral("--json")};
    if (options.dryRun) {
        arguments << QStringLiteral("--dry-run");
    }
    add(new ProbeJob(probe, arguments, this))->start();
}

void Rack::skip(const UsbDeviceInfo& probe, const QString& reason) {
    ended(add(ProbeJob::skipped(probe, reason, this)));
}

void Rack::refuse(const UsbDeviceInfo& probe, const QString& error) {
    ended(add(ProbeJob::refused(probe, error, this)));
}

ProbeJob* Rack::add(ProbeJob* job) {
    all << job;
    connect(job, &ProbeJob::ended, this, [this, job] { ended(job); });
    connect(job, &ProbeJob::phaseChanged, this, [this, job] { phaseChanged(job); });
    connect(job, &ProbeJob::told, this, [this, job](QJsonObject event) {
        // Each probe's events, named by its serial number and port; its result is told
        // as the probe's (ended), so that the last line stays the whole command's.
        if (!options.json || event.value(QLatin1String("event")).toString() == u"result") {
            return;
        }
        event.insert(QStringLiteral("command"), options.commandName);
        event.insert(QStringLiteral("serial"), job->probe().serialNumber());
        event.insert(QStringLiteral("port"), job->probe().port());
        console.json(event);
    });
    return job;
}

void Rack::phaseChanged(ProbeJob* job) {
    if (options.json || console.terminal()) {
        return;
    }
    const QString serial = job->probe().serialNumber();
    if (const QString previous = shownPhase.value(job); !previous.isEmpty()) {
        console.line(QStringLiteral("%1: %2: done").arg(serial, previous));
    }
    shownPhase.insert(job, job->phase());
    console.line(QStringLiteral("%1: %2: %3 %4")
                     .arg(serial, job->phase())
                     .arg(job->total())
                     .arg(job->units().isEmpty() ? QStringLiteral("steps") : job->units()));
}

void Rack::ended(ProbeJob* job) {
    log(job);
    if (options.json) {
        QJsonObject event = merged(jsonObject(options.commandName), resultJson(job));
        event.insert(QStringLiteral("event"), QStringLiteral("probeResult"));
        event.insert(QStringLiteral("plan"), objectOrNull(job->plan()));
        console.json(event);
    } else {
        if (const QString phase = shownPhase.take(job); !phase.isEmpty()) {
            console.line(
                QStringLiteral("%1: %2: %3")
                    .arg(job->probe().serialNumber(), phase,
                         job->succeeded() ? QStringLiteral("done") : QStringLiteral("stopped")));
        }
        console.line(resultLine(job));
        draw();
    }
}

QString Rack::resultLine(const ProbeJob* job) const {
    QString line =
        QStringLiteral("%1  %2").arg(job->probe().serialNumber(), outcomeName(job->outcome()));
    switch (job->outcome()) {
        case ProbeJob::Outcome::Installed:
            line += QStringLiteral(": %1 -> %2 in %3")
                        .arg(firmwareWords(job->before()), firmwareWords(job->after()),
                             seconds(job->elapsedMs()));
            break;
        case ProbeJob::Outcome::Planned:
            line += QStringLiteral(": %1, not changed (dry run)").arg(firmwareWords(job->before()));
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
    if (options.logFile.isEmpty()) {
        return;
    }
    // The probe's result as the JSON output gives it, with the time instead of "ok".
    QJsonObject record = resultJson(job);
    record.remove(QLatin1String("ok"));
    record.insert(QStringLiteral("time"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    // Opened and closed for each line, so that each is on disk the moment the probe ends,
    // whatever becomes of this process.
    QFile file(options.logFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        console.error(QStringLiteral("kvtool-cli: cannot append to %1").arg(options.logFile));
        return;
    }
    file.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
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
    QStringList leftInBootloader;
    for (ProbeJob* job : all) {
        if (job->finished()) {
            continue;
        }
        if (job->inBootloader()) {
            leftInBootloader << job->probe().serialNumber();
        }
        job->abandon();
    }
    if (running()) {
        runUntil([this] { return !running(); });
    }
    return leftInBootloader;
}

int Rack::count(ProbeJob::Outcome outcome) const {
    return int(std::ranges::count(all, outcome, &ProbeJob::outcome));
}

QString Rack::totals() const {
    return QStringLiteral("%1 %2, %3 failed, %4 skipped")
        .arg(count(options.dryRun ? ProbeJob::Outcome::Planned : ProbeJob::Outcome::Installed))
        .arg(options.dryRun ? QStringLiteral("planned") : QStringLiteral("installed"))
        .arg(count(ProbeJob::Outcome::Failed))
        .arg(count(ProbeJob::Outcome::Skipped));
}

QStringList Rack::table() const {
    QList<QStringList> rows{{QStringLiteral("SERIAL"), QStringLiteral("BEFORE"),
                             QStringLiteral("AFTER"), QStringLiteral("RESULT"),
                             QStringLiteral("TIME")}};
    for (const ProbeJob* job : all) {
        rows << QStringList{job->probe().serialNumber(), firmwareWords(job->before()),
                            firmwareWords(job->after()), outcomeName(job->outcome()),
                            seconds(job->elapsedMs())};
    }
    QStringList lines = Console::columns(rows);
    for (const ProbeJob* job : all) {
        if (job->outcome() == ProbeJob::Outcome::Failed) {
            lines << QStringLiteral("%1 failed: %2").arg(job->probe().serialNumber(), job->error());
        }
    }
    return lines;
}

QJsonObject Rack::resultJson(const ProbeJob* job) {
    return QJsonObject{
        {QStringLiteral("serial"), job->probe().serialNumber()},
        {QStringLiteral("port"), job->probe().port()},
        {QStringLiteral("ok"), job->succeeded()},
        {QStringLiteral("result"), outcomeName(job->outcome())},
        {QStringLiteral("error"), jsonText(job->error().isEmpty() ? QString() : job->error())},
        {QStringLiteral("before"), objectOrNull(job->before())},
        {QStringLiteral("after"), objectOrNull(job->after())},
        {QStringLiteral("seconds"), double(job->elapsedMs()) / MS_PER_S},
    };
}

QJsonArray Rack::probesJson() const {
    QJsonArray probes;
    for (const ProbeJob* job : all) {
        probes.append(resultJson(job));
    }
    return probes;
}
