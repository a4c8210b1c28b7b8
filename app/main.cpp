#include "app/ErrorReporter.h"
#include "app/FirmwareDirectory.h"
#include "app/FocusRingStyle.h"
#include "app/HException.h"
#include "app/KorvaneConfigurer.h"
#include "app/NoSettings.h"
#include "app/QtSingleApplication.h"
#include "app/StartupOptions.h"
#include "emu/EmulatorEnvironment.h"

#include <utility>

int main(int argc, char** argv) {
    // The command line first: --help, --version and a wrong option are answered on the
    // terminal, without a display and without handing anything to a running window.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const StartupOptions startup = StartupOptions::parse(arguments);
    if (startup.action != StartupOptions::Action::Run) {
        return answerOnTerminal(startup);
    }

    // Read before the application object exists, which takes the startup id away.
    InstanceMessage::Message handover = QtSingleApplication::launchActivation();
    QtSingleApplication app(QStringLiteral("Brenmoor kvtool"), argc, argv);
    // The compositor and the dock match the window to kvtool.desktop (its name, its icon).
    QGuiApplication::setDesktopFileName(QStringLiteral("kvtool"));
    // With another instance running, hand it the argument (it comes to the front) and
    // end; whether it answered in time makes no difference here.
    handover.text = startup.firmwareDirectory;
    if (app.handOverOrListen(handover)) {
        return 0;
    }

    keepNoSettings();
    // The folder given on the command line, else the one the user chose before; without
    // either the page searches the firmware folders.
    firmwareDirectory =
        startup.firmwareDirectory.isNull()
            ? HPath(rememberedFirmwareFolder())
            : firmwareDirectoryFromArguments({arguments.first(), startup.firmwareDirectory});
    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
    QApplication::setStyle(new FocusRingStyle);

    try {
        // An emulator asked for but described wrongly is a failed start, not an empty bus.
        const QStringList problems = installUsbBackendFromEnvironment();
        if (!problems.isEmpty()) {
            throw HException("KVTOOL_EMULATE: " +
                             problems.join(QStringLiteral("; ")).toStdString());
        }
        mainWindow = new KorvaneConfigurer();
        mainWindow->show();
    } catch (const HException& error) {
        // Without a window there is nothing to run the event loop for.
        reportError(error);
        return 0;
    }
    app.runReportingErrors();
    // The window is gone: a later start is the running instance from now on, while this one
    // waits for a read of a probe that may still be under way (never an install: the window
    // does not close during one).
    app.stopListening();
    delete std::exchange(mainWindow, nullptr);
    return 0;
}
