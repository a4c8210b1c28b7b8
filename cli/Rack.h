#pragma once

#include "cli/ProbeJob.h"
#include "engines/FirmwareLibrary.h"
#include "probe/ImageIdentity.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QTimer>

#include <optional>

class Console;
class ProductionLog;
struct CliOptions;

// One image installed on several probes at once, each by a ProbeJob of its own, and shown
// as it goes: on a terminal one live line per probe (serial, phase, bar, bytes, rate),
// redrawn in place; on a pipe a line as each probe starts and ends a phase; with --json
// every event of every probe with its "serial". A probe's end is told in a result line
// and, with --log, in the log file: each probe's session process appends its own record,
// so that it is written even when this process is gone; this process writes those of the
// probes whose session never got that far (left out, refused, abandoned, crashed).
class Rack : public QObject {
    Q_OBJECT

public:
    // `records`, when given, is the --log file; it must outlive the rack.
    Rack(const CliOptions& options, Console& console, const ImageIdentity& image,
         ProductionLog* records = nullptr);
    // An update: each probe's session chooses among the images `offers` of its generation,
    // for `variant` when given, else for the one the probe runs.
    Rack(const CliOptions& options, Console& console, FirmwareLibrary::Images offers,
         std::optional<QString> variant, ProductionLog* records = nullptr);
    ~Rack() override;

    // Starts the install on `probe`.
    void install(const UsbDeviceInfo& probe);
    // Leaves `probe` out: skipped (another generation), or refused with `error` and the
    // exit status of that refusal (failed).
    void skip(const UsbDeviceInfo& probe, const QString& reason);
    void refuse(const UsbDeviceInfo& probe, const QString& error, ExitCode code);

    // Runs the event loop until `done` says so (checked whenever a job ends, and on every
    // event of the loop's other sources).
    void runUntil(const std::function<bool()>& done);
    bool running() const;
    // Ends every job under way at once; returns the serial numbers of the probes thereby
    // left needing an install (in their bootloader, or with a partly written image).
    QStringList abandon();

    const QList<ProbeJob*>& jobs() const { return all; }
    int count(ProbeJob::Outcome outcome) const;
    // "3 installed, 1 failed, 0 skipped".
    QString totals() const;
    // The exit status of the whole: 0 when no probe failed, else the status the failed
    // probes share, or 1 when they differ or a record could not be written.
    ExitCode exitCode() const;
    // How many probes' records could not be written to the --log file.
    int lostRecords() const { return lost; }
    // The table of results (serial, before, after, result, time) and the failures' reasons.
    QStringList table() const;
    // One object per probe: "serial", "port", "ok", "result", "error", "usbError",
    // "before", "after", "seconds", "sha256", "phases", "station", "kvtoolVersion".
    QJsonArray probesJson() const;
    // One probe's result, as "probes" holds it and its "probeResult" event tells it.
    static QJsonObject resultJson(const ProbeJob* job);

private:
    // Takes `job` in and follows it; returns it.
    ProbeJob* add(ProbeJob* job);
    void ended(ProbeJob* job);
    void phaseChanged(ProbeJob* job);
    void draw();
    void log(ProbeJob* job);
    // Tells the job's events on standard output (--json) and its USB trace (--verbose).
    void tell(ProbeJob* job);
    QString resultLine(const ProbeJob* job) const;

    const CliOptions& options;
    Console& console;
    std::shared_ptr<const ImageIdentity> image;  // null for an update
    FirmwareLibrary::Images offers;
    std::optional<QString> variant;
    ProductionLog* records;
    int lost = 0;
    QList<ProbeJob*> all;
    QTimer redraw;
    // Per job, the phase it showed last on a pipe, and when that phase began.
    struct ShownPhase {
        QString text;
        qint64 total = 0;
        QString units;
        QElapsedTimer clock;
    };
    QHash<const ProbeJob*, ShownPhase> shownPhase;
};
