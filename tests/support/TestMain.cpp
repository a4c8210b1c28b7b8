// Entry point of every test executable: a toolkit application object for the tests to
// run under, then GoogleTest. GUI tests use Qt's offscreen platform unless told otherwise.
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#ifdef KVTOOL_TEST_GUI
// The same application class as kvtool itself, so HExceptions escaping event handlers are
// reported as in the real program.
#include "app/ErrorReportingApplication.h"
using TestApplication = ErrorReportingApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
#ifdef KVTOOL_TEST_GUI
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
#endif
    // The probes' install locks of this test process and of the programs it runs, apart
    // from those of tests running beside it (whose emulated probes have the same ports).
    const QTemporaryDir locks;
    if (qEnvironmentVariableIsEmpty("KVTOOL_LOCK_DIR") && locks.isValid()) {
        qputenv("KVTOOL_LOCK_DIR", QFile::encodeName(locks.path()));
    }
    // The firmware folders and the settings of the user running the tests stay out of them:
    // each test that needs some makes its own.
    const QTemporaryDir home;
    if (home.isValid()) {
        for (const char* variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_DATA_DIRS"}) {
            qputenv(variable, QFile::encodeName(home.filePath(QLatin1String(variable))));
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
