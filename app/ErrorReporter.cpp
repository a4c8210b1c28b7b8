#include "app/ErrorReporter.h"

#include "app/KorvaneConfigurer.h"

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
    // A child of the main window: over it, and with the focus when the window is raised.
    QMessageBox::critical(mainWindow, QStringLiteral("Error"), messageOf(error));
}

void reportFailure(QWidget* page, const QString& message) {
    if (installed()) {
        installed()(HException(message.toLocal8Bit().toStdString()));
        return;
    }
    QMessageBox::warning(page, QStringLiteral("Error"), message);
}

ErrorReporter setErrorReporter(ErrorReporter reporter) {
    return std::exchange(installed(), std::move(reporter));
}
