#include "app/ErrorReportingApplication.h"

#include "app/ErrorReporter.h"
#include "app/HException.h"

ErrorReportingApplication::ErrorReportingApplication(int& argc, char** argv)
    : QApplication(argc, argv) {}

bool ErrorReportingApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const HException& error) {
        reportError(error);
        return false;
    }
}

void ErrorReportingApplication::runReportingErrors() {
    for (;;) {
        try {
            exec();
            return;
        } catch (const HException& error) {
            reportError(error);
        }
    }
}
