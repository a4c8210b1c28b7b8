#pragma once

#include <QObject>
#include <QStringList>

class QSocketNotifier;

// Ctrl-C (SIGINT), and the signals with which a terminal that goes away or a service
// manager ends a process (SIGHUP, SIGTERM, SIGQUIT), as events of the event loop instead of
// the end of the process, while this object lives: a command that runs installs decides
// what becomes of them. The handler only writes the signal's number into a pipe, one byte
// per delivery, and the loop tells every byte it reads, so that two Ctrl-C in quick
// succession are two.
class Interrupts : public QObject {
    Q_OBJECT

public:
    explicit Interrupts(QObject* parent = nullptr);
    ~Interrupts() override;

    // "SIGTERM".
    static QString signalName(int signal);
    // What is said when installs are let run to their end after `signal` (SIGINT: the
    // first Ctrl-C).
    static QString waitingText(int signal, int running);
    // What is said when installs are abandoned: the probes left needing an install.
    static QString abandonedText(const QStringList& left);

Q_SIGNALS:
    // The count-th SIGINT while this object lived.
    void interrupted(int count);
    // SIGHUP, SIGTERM or SIGQUIT, each time it comes: as a first Ctrl-C, however often.
    void terminated(int signal);

private:
    QSocketNotifier* notifier = nullptr;
    int received = 0;
};
