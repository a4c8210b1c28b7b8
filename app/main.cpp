#include "app/ErrorReporter.h"
#include "app/FirmwareDirectory.h"
#include "app/HException.h"
#include "app/KorvaneConfigurer.h"
#include "app/QtSingleApplication.h"
#include "emu/EmulatorEnvironment.h"

int main(int argc, char** argv) {
    QtSingleApplication app(QStringLiteral("Brenmoor kvtool"), argc, argv);
    if (app.anotherInstanceRunning()) {
        // Hand the argument to the running instance, which comes to the front; whether
        // it answered in time makes no difference here.
        app.sendMessage(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString(), 5000);
        return 0;
    }
    app.startListening(true);

    // The toolkit has taken its own options out of argc/argv; the rest are ours.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    firmwareDirectory = firmwareDirectoryFromArguments(arguments);
    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
    installUsbBackendFromEnvironment();

    try {
        mainWindow = new KorvaneConfigurer();
        mainWindow->show();
    } catch (const HException& error) {
        // Without a window there is nothing to run the event loop for.
        reportError(error);
        return 0;
    }
    app.runReportingErrors();
    return 0;
}
