// install on several probes at once (--all, or --serial more than once), and watch: each
// probe's install runs on its own (Rack, ProbeJob), the command decides which probes and
// when, and says how it all ended.
#include "app/HException.h"
#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/ImageReport.h"
#include "cli/InstallReport.h"
#include "cli/Interrupts.h"
#include "cli/JsonOutput.h"
#include "cli/ProbeDescription.h"
#include "cli/ProbeSelection.h"
#include "cli/ProductionLog.h"
#include "cli/Rack.h"
#include "device/UsbDiscovery.h"
#include "device/UsbHotplugMonitor.h"
#include "engines/FirmwareLibrary.h"
#include "engines/ProbeEngines.h"

#include <QHash>
#include <QSet>
#include <QTimer>

#include <climits>
#include <csignal>

namespace {

// How often watch looks at the bus where no udev events tell it of probes coming and going.
constexpr int WATCH_POLL_MS = 1000;

// The image, which must be one that can be installed: refused in the words of the probes'
// generation where the probes to install on are known and of one generation.
ImageIdentity installableImage(const CliOptions& options,
                               const std::function<std::optional<int>()>& generation) {
    ImageIdentity image = readImageFor(imagePathOf(options), generation);
    if (!image.installable()) {
        throw CliFailure(ExitCode::BadImage, image.problem)
            .with({{QStringLiteral("image"), imageJson(image)}});
    }
    if (const QString mismatch = variantMismatch(options, image); !mismatch.isEmpty()) {
        throw CliFailure(ExitCode::BadImage, mismatch)
            .with({{QStringLiteral("image"), imageJson(image)}});
    }
    return image;
}

// Why `probe` is left out of an install of `image` (on --all), or nothing when it is not.
QString mismatch(const UsbDeviceInfo& probe, const ImageIdentity& image) {
    const std::unique_ptr<ProbeEngine> engine = engineForProbe(probe);
    if (!engine) {
        return unknownProbeMessage(probe);
    }
    if (engine->generation() != image.generation) {
        return QStringLiteral("a generation-%1 probe; the image is for generation %2")
            .arg(engine->generation())
            .arg(*image.generation);
    }
    return {};
}

// Ctrl-C: the first lets the installs under way end (and, for watch, takes no new probe),
// the second abandons them and names the probes it leaves needing an install. A hang-up or
// a termination is a first Ctrl-C, however often it comes.
void followInterrupts(Interrupts& interrupts, Rack& rack, Console& console,
                      const std::function<void()>& stop) {
    const auto wait = [&rack, &console, stop](int signal) {
        stop();
        if (const int running = rack.count(ProbeJob::Outcome::Running); running > 0) {
            console.error(Interrupts::waitingText(signal, running));
        }
    };
    QObject::connect(&interrupts, &Interrupts::terminated, &rack, wait);
    QObject::connect(&interrupts, &Interrupts::interrupted, &rack, [&rack, &console, wait](int n) {
        if (n == 1) {
            wait(SIGINT);
            return;
        }
        console.error(Interrupts::abandonedText(rack.abandon()));
    });
}

// How it all ended: the table (or the JSON result with "probes"); a failure on any probe
// is the command's. `image` is null for an update, whose failures that no image fits are
// told with the firmware folders in `folders`.
void conclude(const CliOptions& options, Console& console, const Rack& rack,
              const ImageIdentity* image, const QString& folders = QString()) {
    // Each probe's own are in "probes"; the keys of an install on one probe are null.
    const QJsonObject known =
        merged(QJsonObject{{QStringLiteral("probes"), rack.probesJson()},
                           {QStringLiteral("image"),
                            image ? QJsonValue(imageJson(*image)) : QJsonValue(QJsonValue::Null)},
                           {QStringLiteral("dryRun"), options.dryRun},
                           {QStringLiteral("probe"), QJsonValue::Null},
                           {QStringLiteral("previousFirmware"), QJsonValue::Null},
                           {QStringLiteral("firmware"), QJsonValue::Null},
                           {QStringLiteral("plan"), QJsonValue::Null},
                           {QStringLiteral("phases"), QJsonValue::Null}},
               stationJson());
    if (!options.json) {
        for (const QString& line : rack.table()) {
            console.line(line);
        }
    }
    const int failed = rack.count(ProbeJob::Outcome::Failed);
    if (failed > 0) {
        const bool noImage = std::ranges::any_of(rack.jobs(), [](const ProbeJob* job) {
            return job->outcome() == ProbeJob::Outcome::Failed &&
                   job->exitCode() == ExitCode::BadImage;
        });
        throw CliFailure(
            rack.exitCode(),
            QStringLiteral("%1 of %2 probes failed").arg(failed).arg(rack.jobs().size()),
            noImage ? folders : QString())
            .with(known);
    }
    if (rack.lostRecords() > 0) {
        throw CliFailure(rack.exitCode(),
                         QStringLiteral("%1 of %2 records could not be written to %3")
                             .arg(rack.lostRecords())
                             .arg(rack.jobs().size())
                             .arg(options.logFile))
            .with(known);
    }
    if (options.command != Command::Watch &&
        std::ranges::none_of(rack.jobs(), &ProbeJob::succeeded)) {
        throw CliFailure(
            ExitCode::NoProbe,
            image ? QStringLiteral("No probe of generation %1 connected").arg(*image->generation)
                  : QStringLiteral("No probe of a known generation connected"))
            .with(known);
    }
    if (options.json) {
        QJsonObject result = merged(jsonResult(options.commandName, 0), known);
        result.insert(QStringLiteral("event"), QStringLiteral("result"));
        console.json(result);
    }
}

// The probes `options` name among `attached` (--all: every one); `rack` refuses, as it
// would an install on them, the serial numbers that name no probe and the probes that
// share their serial number with another.
UsbDeviceList chooseProbes(const CliOptions& options, const UsbDeviceList& attached, Rack& rack) {
    UsbDeviceList chosen;
    if (options.all) {
        chosen = attached;
    } else if (options.serials.isEmpty()) {
        chosen << selectProbe(QString());
    } else {
        for (const QString& serial :
             QSet<QString>(options.serials.begin(), options.serials.end())) {
            const UsbDeviceList matching = probesWithSerial(attached, serial);
            if (matching.isEmpty()) {
                rack.refuse(UsbDeviceInfo(0, 0, serial, QString()),
                            QStringLiteral("No device with serial number %1 connected").arg(serial),
                            ExitCode::NoProbe);
            }
            chosen += matching;
        }
    }
    QHash<QString, int> serials;
    for (const UsbDeviceInfo& probe : chosen) {
        ++serials[probe.serialNumber()];
    }
    UsbDeviceList unique;
    for (const UsbDeviceInfo& probe : chosen) {
        if (const int sharing = serials.value(probe.serialNumber()); sharing > 1) {
            // Neither can be told from the other, by a person or by the install.
            rack.refuse(probe,
                        QStringLiteral("%1 probes report the serial number %2: none of them is "
                                       "installed, a serial number must name one probe")
                            .arg(sharing)
                            .arg(probe.serialNumber()),
                        ExitCode::NoProbe);
        } else {
            unique << probe;
        }
    }
    return unique;
}

// The key of one attachment of a probe: its port, which it keeps through a restart.
QString attachment(const UsbDeviceInfo& probe) {
    return probe.port().isEmpty() ? probe.devicePath() : probe.port();
}

// The --log file, checked before anything else is done.
std::unique_ptr<ProductionLog> openRecords(const CliOptions& options) {
    return options.logFile.isEmpty() ? nullptr : ProductionLog::open(options.logFile);
}

}  // namespace

void runRackInstall(const CliOptions& options, Console& console) {
    const std::unique_ptr<ProductionLog> records = openRecords(options);
    const ImageIdentity image = installableImage(
        options, [&options] { return generationOfProbes(options.serials, options.all); });
    const UsbDeviceList attached = attachedProbes();
    if (attached.isEmpty()) {
        throw CliFailure(ExitCode::NoProbe, QStringLiteral("No devices connected"),
                         QStringLiteral("attach the Korvanes you wish to install on"));
    }
    Rack rack(options, console, image, records.get());
    // Before the first install starts: from then on the signals are this command's.
    Interrupts interrupts;
    followInterrupts(interrupts, rack, console, [] {});
    for (const UsbDeviceInfo& probe : chooseProbes(options, attached, rack)) {
        if (const QString reason = mismatch(probe, image); options.all && !reason.isEmpty()) {
            // --all takes the probes of the image's generation. One named by its serial
            // number is refused by its session as an install on it alone is.
            rack.skip(probe, reason);
        } else {
            rack.install(probe);
        }
    }
    rack.runUntil([&rack] { return !rack.running(); });
    conclude(options, console, rack, &image);
}

void runWatch(const CliOptions& options, Console& console) {
    const std::unique_ptr<ProductionLog> records = openRecords(options);
    // No probe is known yet: the refusal is in the words of no generation.
    const ImageIdentity image = installableImage(options, [] { return std::nullopt; });
    const int limit = options.count.value_or(INT_MAX);
    Rack rack(options, console, image, records.get());
    Interrupts interrupts;
    bool stopping = false;
    followInterrupts(interrupts, rack, console, [&stopping] { stopping = true; });
    if (!options.json) {
        console.line(QStringLiteral("Waiting for generation-%1 probes to install %2 on "
                                    "(Ctrl-C ends)")
                         .arg(*image.generation)
                         .arg(image.path));
    }

    // Each attachment once: a probe stays handled while it is attached (and while its
    // install runs, through which a generation-2 probe leaves the bus and comes back).
    QSet<QString> handled;
    const auto installingOn = [&rack](const QString& key) {
        return std::ranges::any_of(rack.jobs(), [&key](const ProbeJob* job) {
            return !job->finished() && attachment(job->probe()) == key;
        });
    };
    const auto scan = [&] {
        const UsbDeviceList probes = attachedProbes();
        QSet<QString> present;
        for (const UsbDeviceInfo& probe : probes) {
            const QString key = attachment(probe);
            present.insert(key);
            if (stopping || handled.contains(key) || rack.jobs().size() >= limit) {
                continue;
            }
            handled.insert(key);
            if (const QString reason = mismatch(probe, image); !reason.isEmpty()) {
                rack.skip(probe, reason);
                continue;
            }
            // Whether it runs the image already is the session's to tell (without --force):
            // it reads the probe in its own process, so a probe that does not answer holds
            // up nobody.
            rack.install(probe);
        }
        for (const QString& key : QSet<QString>(handled)) {
            if (!present.contains(key) && !installingOn(key)) {
                handled.remove(key);
            }
        }
    };
    UsbHotplugMonitor hotplug;
    QObject::connect(&hotplug, &UsbHotplugMonitor::devicesChanged, &rack, scan);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &rack, scan);
    poll.start(WATCH_POLL_MS);
    scan();
    rack.runUntil([&] { return (stopping || rack.jobs().size() >= limit) && !rack.running(); });
    conclude(options, console, rack, &image);
}

void runUpdate(const CliOptions& options, Console& console) {
    const std::unique_ptr<ProductionLog> records = openRecords(options);
    FirmwareLibrary library(FirmwareLibrary::folders(options.firmwareDirectories));
    const FirmwareLibrary::Images& offers = library.offers();
    if (options.verbose) {
        for (const FirmwareLibrary::Note& note : library.notes()) {
            console.error(
                QStringLiteral("kvtool-cli: passed over %1: %2").arg(note.path, note.reason));
        }
        for (const auto& offer : offers) {
            console.error(QStringLiteral("kvtool-cli: offered %1 (%2)")
                              .arg(offer->path, imageSummary(*offer)));
        }
    }
    QString folders = QStringLiteral("the firmware folders are, in order: %1")
                          .arg(library.searched().join(QStringLiteral(", ")));
    for (const QString& problem : library.folderProblems()) {
        folders += QStringLiteral("; ") + problem;
    }
    const UsbDeviceList attached = attachedProbes();
    if (attached.isEmpty()) {
        throw CliFailure(ExitCode::NoProbe, QStringLiteral("No devices connected"),
                         QStringLiteral("attach the Korvanes you wish to update"));
    }
    std::optional<QString> variant;
    if (options.target && options.clocking) {
        variant = generation2Variant(*options.target, *options.clocking);
    }
    Rack rack(options, console, offers, variant, records.get());
    Interrupts interrupts;
    followInterrupts(interrupts, rack, console, [] {});
    for (const UsbDeviceInfo& probe : chooseProbes(options, attached, rack)) {
        const std::unique_ptr<ProbeEngine> engine = engineForProbe(probe);
        if (!engine && options.all) {
            rack.skip(probe, unknownProbeMessage(probe));
        } else if (!engine) {
            rack.refuse(probe, unknownProbeMessage(probe), ExitCode::Failed);
        } else {
            rack.install(probe);
        }
    }
    rack.runUntil([&rack] { return !rack.running(); });
    conclude(options, console, rack, nullptr, folders);
}
