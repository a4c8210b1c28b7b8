#include "emu/EmulatorEnvironment.h"

#include "app/Clock.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/EmulatorSetup.h"

#include <QByteArray>
#include <QString>

QStringList installUsbBackendFromEnvironment() {
    const QString value = qEnvironmentVariable("KVTOOL_EMULATE");
    if (value.isEmpty()) {
        return {};
    }
    QStringList problems;
    auto bus = std::make_unique<EmulatedUsbBus>();
    const QString frameLog = qEnvironmentVariable("KVTOOL_EMULATE_LOG");
    if (!frameLog.isEmpty()) {
        bus->exportFrameLogAtExit(frameLog);
    } else {
        bus->setFramesRecorded(false);
    }
    if (value.startsWith(u'@')) {
        bus->setControlFile(value.mid(1));
    } else {
        const EmulatorSetup spec = EmulatorSetup::parse(value);
        problems = spec.errors;
        for (const EmulatorSetup::Item& item : spec.items) {
            bus->attach(item.create());
        }
    }
    installUsbBackend(std::move(bus));

    if (qEnvironmentVariable("KVTOOL_CLOCK") == u"virtual") {
        // Lives for the rest of the process, like the steady clock it replaces.
        static VirtualClock virtualClock;
        static ScopedClock scoped(virtualClock);
    }
    return problems;
}
