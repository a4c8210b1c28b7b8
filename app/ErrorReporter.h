#pragma once

#include "app/HException.h"

#include <functional>

// Shows an HException that escaped an event handler: by default the critical "Error" box
// with the message exactly as thrown. Tests replace the box, not the behaviour around it.
using ErrorReporter = std::function<void(const HException&)>;

void reportError(const HException& error);
// Installs `reporter` (an empty one restores the message box); returns the previous one.
ErrorReporter setErrorReporter(ErrorReporter reporter);
