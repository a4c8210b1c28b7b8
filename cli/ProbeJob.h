#pragma once

#include "device/UsbDeviceInfo.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// The install on one probe of several, run as a kvtool-cli of its own (`install FILE
// --serial S --json`): each probe's install is the very one a single install runs, and one
// that fails, hangs or loses its probe cannot stop, slow or corrupt another. What the child
// tells (its JSON events) is read as it comes and kept as the probe's state.
//
// The child runs in a process group of its own, so that a Ctrl-C at the terminal reaches
// the command that started it, which decides what becomes of it.
class ProbeJob : public QObject {
    Q_OBJECT

public:
    enum class Outcome { Running, Installed, Planned, Failed, Skipped };

    // A job that does not run: `reason` says why the probe is left out (skipped), or why
    // it is refused (failed).
    static ProbeJob* skipped(const UsbDeviceInfo& probe, const QString& reason,
                             QObject* parent = nullptr);
    static ProbeJob* refused(const UsbDeviceInfo& probe, const QString& error,
                             QObject* parent = nullptr);
    ProbeJob(const UsbDeviceInfo& probe, const QStringList& installArguments,
             QObject* parent = nullptr);
    ~ProbeJob() override;

    void start();
    // Ends the child at once (SIGKILL): what it had done stays done.
    void abandon();

    const UsbDeviceInfo& probe() const { return record; }
    Outcome outcome() const { return result; }
    bool finished() const { return result != Outcome::Running; }
    QString error() const { return failure; }
    // The child's "previousFirmware" and "firmware" objects (empty until it told them).
    QJsonObject before() const { return previous; }
    QJsonObject after() const { return installed; }
    // A dry run's plan (empty for an install).
    QJsonObject plan() const { return planned; }
    // The phase under way: its text, how far, of how much (0: nothing to count, as
    // after a message), in what units.
    QString phase() const { return phaseText; }
    qint64 done() const { return phaseDone; }
    qint64 total() const { return phaseTotal; }
    QString units() const { return phaseUnits; }
    qint64 phaseElapsedMs() const { return phaseClock.isValid() ? phaseClock.elapsed() : 0; }
    // How long it ran (so far, while it runs).
    qint64 elapsedMs() const;
    // Whether the probe was switched into its bootloader and not yet restored: a
    // generation-2 install past EnterBootloader that has not ended well.
    bool inBootloader() const { return restarted && result != Outcome::Installed; }
    // Installed, or (a dry run) planned.
    bool succeeded() const { return result == Outcome::Installed || result == Outcome::Planned; }

Q_SIGNALS:
    // Every event of the child, as it told it.
    void told(const QJsonObject& event);
    // A phase began or ended.
    void phaseChanged();
    void ended();

private:
    void readEvents();
    void take(const QJsonObject& event);
    void end(Outcome outcome, const QString& error);

    UsbDeviceInfo record;
    QProcess process;
    QByteArray pending;
    Outcome result = Outcome::Running;
    QString failure;
    QJsonObject previous;
    QJsonObject installed;
    QJsonObject planned;
    QString phaseText;
    qint64 phaseDone = 0;
    qint64 phaseTotal = 0;
    QString phaseUnits;
    bool restarted = false;
    QElapsedTimer clock;
    QElapsedTimer phaseClock;
    qint64 finalMs = -1;
};
