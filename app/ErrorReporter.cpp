#include "app/ErrorReporter.h"

#include <QMessageBox>

namespace {

ErrorReporter& installed() {
    static ErrorReporter reporter;
    return reporter;
}

}  // namespace

void reportError(const HException& error) {
    if (installed()) {
        installed()(error);
        return;
    }
    QMessageBox::critical(nullptr, QStringLiteral("Error"), messageOf(error));
}

ErrorReporter setErrorReporter(ErrorReporter reporter) {
    ErrorReporter previous = std::move(installed());
    installed() = std::move(reporter);
    return previous;
}
