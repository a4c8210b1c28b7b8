#include "app/ErrorReporter.h"
#include "app/ErrorReportingApplication.h"
#include "app/FirmwareDirectory.h"
#include "app/HException.h"
#include "app/KorvaneConfigurer.h"
#include "emu/EmulatorEnvironment.h"

int main(int argc, char** argv) {
    ErrorReportingApplication app(argc, argv);

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
