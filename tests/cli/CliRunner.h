#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <initializer_list>
#include <memory>
#include <ostream>

// One run of the built kvtool-cli.
struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;

    QStringList outLines() const;
    QStringList errLines() const;
    // Every line of standard output parsed as a JSON object (a line that is not one fails
    // the calling test).
    QList<QJsonObject> json() const;
    // The last JSON object, the result.
    QJsonObject result() const;

    friend void PrintTo(const CliRun& run, std::ostream* os);
};

// One frame as the emulated bus exported it (KVTOOL_EMULATE_LOG).
struct ExportedFrame {
    int device = 0;
    QString serial;
    QString kind;     // bulk-in, bulk-out, control-out
    QString outcome;  // completed, ...
    QByteArray bytes;
};

// Runs kvtool-cli in a scratch directory against emulated probes in virtual time, with the
// emulator's frame log exported, so that a test sees what the probes received.
class CliRunner {
public:
    CliRunner();

    // The scratch directory (the working directory of every run).
    QString directory() const { return scratch.path(); }
    QString path(const QString& name) const { return scratch.filePath(name); }
    // The firmware folder of the system's data folder ($XDG_DATA_DIRS) in every run.
    QString systemFirmware() const { return path(QStringLiteral("share/kvtool/firmware")); }

    // KVTOOL_EMULATE for the following runs (empty: the variable is unset).
    void emulate(const QString& devices) { emulated = devices; }
    void setEnvironment(const QString& name, const QString& value) { extra.insert(name, value); }
    // Runs the next command as the unprivileged user "nobody" when the tests run as root,
    // so that file permissions apply to it.
    void runUnprivileged(bool on) { unprivileged = on; }

    CliRun run(const QStringList& arguments);
    // Runs `script` with /bin/sh, with $KVTOOL_CLI naming the program: for arguments that
    // are bytes rather than text (file names that are not UTF-8).
    CliRun runShell(const QString& script);
    // Starts a run and leaves it running (for commands that wait, such as watch).
    std::unique_ptr<QProcess> start(const QStringList& arguments);
    // Whether the last run exported a frame log (it set up the emulated bus).
    bool frameLogExported() const;
    // The frames the emulated probes saw during the last run, in order.
    QList<ExportedFrame> frames() const;
    // Only the bulk OUT frames (what the host sent), as their bytes.
    QList<QByteArray> sent() const;

private:
    QProcessEnvironment environment() const;
    CliRun run(const QStringList& arguments, const QString& program);

    QTemporaryDir scratch;
    QString emulated;
    QProcessEnvironment extra;
    bool unprivileged = false;
};

// Command-line arguments from Latin-1 literals, for the tables of cases.
QStringList args(std::initializer_list<const char*> list);

// The first byte of each frame, in order: the command codes of the generation-2 packets.
QList<int> firstBytes(const QList<QByteArray>& frames);
