#pragma once

#include <QApplication>

// The application object's error-reporting side: an HException that escapes an event
// handler (a slot, a timer, a paint) is shown through reportError() and the event loop
// carries on. The toolkit does not let exceptions cross its event dispatch, so they are
// caught at the dispatch boundary.
class ErrorReportingApplication : public QApplication {
    Q_OBJECT

public:
    ErrorReportingApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Runs the event loop until it returns normally, reporting every HException that
    // escapes it and entering it again.
    void runReportingErrors();
};
