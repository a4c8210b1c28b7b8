#pragma once

#include "app/InstanceChannel.h"
#include "support/GuiTestSupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <atomic>
#include <functional>
#include <memory>

// An instance id that no other test, and no real kvtool, uses.
inline QString uniqueInstanceId() {
    return QStringLiteral("kvtool test ") + QUuid::createUuid().toString();
}

// Sets an environment variable (or unsets it, for a null value) while it lives.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const QByteArray& value)
        : name(name), wasSet(qEnvironmentVariableIsSet(name)), previous(qgetenv(name)) {
        if (value.isNull()) {
            qunsetenv(name);
        } else {
            qputenv(name, value);
        }
    }
    ~ScopedEnvironment() {
        if (wasSet) {
            qputenv(name, previous);
        } else {
            qunsetenv(name);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name;
    bool wasSet;
    QByteArray previous;
};

struct SendOutcome {
    bool delivered = false;
    qint64 elapsedMs = 0;
};

// Runs `send` on a thread of its own while this thread's event loop keeps serving the
// listening side, as a second process would; returns its result and how long it took.
inline SendOutcome sendFromAnotherThread(const std::function<bool()>& send) {
    std::atomic<bool> done{false};
    SendOutcome outcome;
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QThread> thread(QThread::create([&] {
        outcome.delivered = send();
        outcome.elapsedMs = clock.elapsed();
        done = true;
    }));
    thread->start();
    waitUntil([&] { return done.load(); }, 30000);
    thread->wait();
    return outcome;
}

inline SendOutcome sendFromAnotherThread(const InstanceChannel& sender, const QString& message,
                                         int timeoutMs = 5000) {
    return sendFromAnotherThread([&] { return sender.sendMessage(message, timeoutMs); });
}
