// Entry point of the single-instance tests. They run under the application class of
// kvtool itself, with an id of their own and a private runtime directory, so they never
// reach a kvtool that runs on this desktop, nor each other when run in parallel.
#include "app/QtSingleApplication.h"

#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir runtime;
    if (!runtime.isValid()) {
        return 1;
    }
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QtSingleApplication app(QStringLiteral("kvtool tests ") + QUuid::createUuid().toString(), argc,
                            argv);
    return RUN_ALL_TESTS();
}
