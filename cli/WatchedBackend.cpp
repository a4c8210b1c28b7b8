#include "cli/WatchedBackend.h"

#include "cli/Console.h"
#include "emu/EmulatorEnvironment.h"
#include "probe/SleepInhibitor.h"

WatchedBackend::WatchedBackend(bool verbose, Console& console) {
    for (const QString& problem : installUsbBackendFromEnvironment()) {
        console.error(QStringLiteral("kvtool-cli: KVTOOL_EMULATE: ") + problem);
    }
    usbBackend();  // the Linux backend, unless the emulator was put in place
    auto tracing = std::make_unique<TracingUsbBackend>(
        installUsbBackend(nullptr),
        verbose ? TracingUsbBackend::Trace([&console](const QString& line) { console.error(line); })
                : TracingUsbBackend::Trace());
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
