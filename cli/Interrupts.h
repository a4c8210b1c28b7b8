#pragma once

#include <QObject>

class QSocketNotifier;

// Ctrl-C (SIGINT, and SIGTERM) as an event of the event loop instead of the end of the
// process, while this object lives: a command that runs installs decides what becomes of
// them. The handler only writes a byte into a pipe; the loop reads it.
class Interrupts : public QObject {
    Q_OBJECT

public:
    explicit Interrupts(QObject* parent = nullptr);
    ~Interrupts() override;

Q_SIGNALS:
    void interrupted(int count);

private:
    QSocketNotifier* notifier = nullptr;
    int received = 0;
};
