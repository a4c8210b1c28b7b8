#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// logind on a private system bus: a dbus-daemon of its own and python-dbusmock's logind
// template on it. Programs started with DBUS_SYSTEM_BUS_ADDRESS set to address() talk to
// it instead of the machine's logind.
class FakeLogind {
public:
    FakeLogind();
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    // Whether the bus and logind answer; why not, otherwise.
    bool running() const { return problem.isEmpty(); }
    QString whyNot() const { return problem; }
    QString address() const { return busAddress; }

    // The inhibitor locks held now (-1 when logind cannot be asked).
    int inhibitors() const;
    // The calls of Inhibit logind got so far, each its four arguments joined by spaces.
    QStringList inhibitCalls() const;

private:
    QTemporaryDir dir;
    QProcess bus;
    QProcess logind;
    QString busAddress;
    QString problem;
};
