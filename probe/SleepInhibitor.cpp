#include "probe/SleepInhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <atomic>
#include <mutex>

namespace {

std::mutex noticeMutex;
std::function<void(const QString&)> noticeFunction;
std::atomic<bool> told{false};

void tellOnce(const QString& why) {
    const std::lock_guard lock(noticeMutex);
    if (noticeFunction && !told.exchange(true)) {
        noticeFunction(QStringLiteral("sleep and shutdown are not held off during the install: ") +
                       why);
    }
}

}  // namespace

SleepInhibitor::SleepInhibitor() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        tellOnce(QStringLiteral("no system bus (%1)").arg(bus.lastError().message()));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:shutdown") << QStringLiteral("kvtool")
         << QStringLiteral("Installing probe firmware") << QStringLiteral("block");
    const QDBusMessage reply = bus.call(call, QDBus::Block, CALL_TIMEOUT_MS);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        tellOnce(
            QStringLiteral("logind did not give an inhibitor lock (%1)")
                .arg(reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage()));
        return;
    }
    lock = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().first());
    if (!lock.isValid()) {
        tellOnce(QStringLiteral("logind's answer carried no lock"));
    }
}

void SleepInhibitor::setNotice(std::function<void(const QString&)> notice) {
    const std::lock_guard lock(noticeMutex);
    noticeFunction = std::move(notice);
}
