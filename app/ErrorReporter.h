#pragma once

#include "app/HException.h"

#include <QString>

#include <functional>

class QWidget;

// Shows an HException that escaped an event handler: by default the critical "Error" box
// over the main window, with the message exactly as thrown. Tests replace the box, not the
// behaviour around it.
using ErrorReporter = std::function<void(const HException&)>;

void reportError(const HException& error);
// Shows the failure of a firmware page's install in the "Error" box of the pages, a
// warning box over the window that `page` belongs to, with `message` as it is. Goes
// through the installed reporter too, when one is installed.
void reportFailure(QWidget* page, const QString& message);
// Installs `reporter` (an empty one restores the message box); returns the previous one.
ErrorReporter setErrorReporter(ErrorReporter reporter);

// Wraps a slot (taking no arguments) whose failures are meant for the "Error" box: the HException
// is reported where the slot returns, so it never unwinds through the toolkit's widget code (which
// is not built to be unwound and would leak or be left half-way). The application's notify()
// remains the last resort for every other event handler.
template <typename Slot>
auto reportingErrors(Slot slot) {
    return [slot](auto&&... /*signal arguments, unused*/) {
        try {
            slot();
        } catch (const HException& error) {
            reportError(error);
        }
    };
}
