#include "app/ErrorReporter.h"

#include <QMessageBox>

#include <utility>

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
    return std::exchange(installed(), std::move(reporter));
}
