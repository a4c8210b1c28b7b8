// Stands in for kvtool in the single-instance tests: the start-up check of kvtool's main
// under the id in KVTOOL_PROBE_ID (so tests never meet a real kvtool or each other), with
// what happens reported on stdout, one "key:value" line per event:
//   sent:true|false, windows:<n>   a later instance handed over argv[1] and exits 0
//   listening                      the first instance listens and shows its main window
//   received:<hex of UTF-16>       the first instance emitted messageReceived
// KVTOOL_PROBE_STALL=1 makes the first instance block its GUI thread once it listens, so
// that it never answers. Otherwise it runs until stdin closes, then exits cleanly.
#include "app/Clock.h"
#include "app/KorvaneConfigurer.h"
#include "app/QtSingleApplication.h"
#include "emu/EmulatedUsbBus.h"

#include <QSocketNotifier>

#include <cstdio>
#include <memory>

#include <unistd.h>

namespace {

void report(const char* key, const QString& value = QString()) {
    QByteArray line(key);
    if (!value.isNull()) {
        line.append(':');
        line.append(value.toUtf8());
    }
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString utf16Hex(const QString& text) {
    QByteArray units;
    for (const QChar unit : text) {
        units.append(static_cast<char>(unit.unicode() >> 8));
        units.append(static_cast<char>(unit.unicode() & 0xFF));
    }
    return QString::fromLatin1(units.toHex());
}

}  // namespace

int main(int argc, char** argv) {
    QtSingleApplication app(qEnvironmentVariable("KVTOOL_PROBE_ID"), argc, argv);
    InstanceMessage::Message handover;
    handover.text = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const std::optional<bool> sent = app.handOverOrListen(handover);
    if (sent) {
        report("sent", *sent ? QStringLiteral("true") : QStringLiteral("false"));
        report("windows", QString::number(QApplication::topLevelWidgets().size()));
        return 0;
    }
    if (!app.isListening()) {
        report("not-listening");
        return 1;
    }
    QObject::connect(&app, &QtSingleApplication::messageReceived,
                     [](const QString& message) { report("received", utf16Hex(message)); });

    ScopedUsbBackend backend(std::make_unique<EmulatedUsbBus>());
    std::unique_ptr<KorvaneConfigurer> window = std::make_unique<KorvaneConfigurer>();
    mainWindow = window.get();
    window->show();
    report("listening");

    if (qEnvironmentVariableIntValue("KVTOOL_PROBE_STALL") != 0) {
        sleepMs(60000);
        return 0;
    }
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char byte = 0;
        if (::read(STDIN_FILENO, &byte, 1) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    app.runReportingErrors();
    mainWindow = nullptr;
    return 0;
}
