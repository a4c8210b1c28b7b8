#include "app/ExecutableDirectory.h"

#include <QFileInfo>

QString executableDirectory() {
    // The kernel keeps the path of the running program file behind this link.
    const QString program = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return program.isEmpty() ? QString() : QFileInfo(program).absolutePath();
}
