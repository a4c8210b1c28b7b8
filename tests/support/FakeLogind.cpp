#include "FakeLogind.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

namespace {

constexpr int START_TIMEOUT_MS = 10000;

// dbusmock is a module of the system's Python (the Debian package), whatever python3 is
// first on the PATH.
const QString PYTHON = QStringLiteral("/usr/bin/python3");

}  // namespace

FakeLogind::FakeLogind() {
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"),
               QStringLiteral("--print-address=1"),
               QStringLiteral("--address=unix:path=") + dir.filePath(QStringLiteral("bus"))});
    if (!bus.waitForReadyRead(START_TIMEOUT_MS)) {
        problem = QStringLiteral("dbus-daemon did not start: ") + bus.errorString();
        return;
    }
    busAddress = QString::fromUtf8(bus.readAllStandardOutput()).trimmed();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
    logind.setProcessEnvironment(environment);
    logind.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    logind.start(PYTHON,
                 {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                  QStringLiteral("--template"), QStringLiteral("logind"), QStringLiteral("-l"),
                  dir.filePath(QStringLiteral("calls.log"))});
    const QDeadlineTimer deadline(START_TIMEOUT_MS);
    while (inhibitors() < 0) {
        if (deadline.hasExpired() || logind.state() == QProcess::NotRunning) {
            problem = QStringLiteral("python-dbusmock's logind did not come up");
            return;
        }
        QThread::msleep(50);
    }
}

FakeLogind::~FakeLogind() {
    for (QProcess* process : {&logind, &bus}) {
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished();
        }
    }
}

int FakeLogind::inhibitors() const {
    QProcess ask;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
    ask.setProcessEnvironment(environment);
    ask.start(
        QStringLiteral("dbus-send"),
        {QStringLiteral("--system"), QStringLiteral("--print-reply"),
         QStringLiteral("--dest=org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
         QStringLiteral("org.freedesktop.login1.Manager.ListInhibitors")});
    if (!ask.waitForFinished(5000) || ask.exitCode() != 0) {
        return -1;
    }
    return int(QString::fromUtf8(ask.readAllStandardOutput()).count(QStringLiteral("struct {")));
}

QStringList FakeLogind::inhibitCalls() const {
    QFile log(dir.filePath(QStringLiteral("calls.log")));
    if (!log.open(QIODevice::ReadOnly)) {
        return {};
    }
    // One line per call: a time stamp, the method, its arguments.
    static const QRegularExpression call(QStringLiteral("^\\S+ Inhibit (.*)$"));
    QStringList calls;
    for (const QString& line : QString::fromUtf8(log.readAll()).split(u'\n')) {
        if (const QRegularExpressionMatch match = call.match(line); match.hasMatch()) {
            calls << match.captured(1).remove(u'"');
        }
    }
    return calls;
}
