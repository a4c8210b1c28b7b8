#include "cli/WatchedBackend.h"

#include "cli/Console.h"
#include "emu/EmulatorEnvironment.h"
#include "probe/SleepInhibitor.h"

#include <QCoreApplication>
#include <QThread>

WatchedBackend::WatchedBackend(bool verbose, Console& console) {
    for (const QString& problem : installUsbBackendFromEnvironment()) {
        console.error(QStringLiteral("kvtool-cli: KVTOOL_EMULATE: ") + problem);
    }
    usbBackend();  // the Linux backend, unless the emulator was put in place
    // A line traced on another thread (an install session's, see runSessionThread) is told
    // by the thread that owns the console, queued in order with that session's events.
    const auto tell = [&console](const QString& line) {
        QCoreApplication* const application = QCoreApplication::instance();
        if (application == nullptr || QThread::currentThread() == application->thread()) {
            console.error(line);
        } else {
            QMetaObject::invokeMethod(
                application, [&console, line] { console.error(line); }, Qt::QueuedConnection);
        }
    };
    auto tracing = std::make_unique<TracingUsbBackend>(
        installUsbBackend(nullptr),
        verbose ? TracingUsbBackend::Trace(tell) : TracingUsbBackend::Trace());
    watcher = tracing.get();
    installUsbBackend(std::move(tracing));
    if (verbose) {
        SleepInhibitor::setNotice([&console](const QString& text) {
            console.error(QStringLiteral("kvtool-cli: ") + text);
        });
    }
}

WatchedBackend::~WatchedBackend() {
    SleepInhibitor::setNotice(nullptr);
    installUsbBackend(nullptr);
}
