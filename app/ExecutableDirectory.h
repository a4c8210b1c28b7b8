#pragma once

#include <QString>

// The absolute directory that holds the running program file; empty when the system
// cannot tell.
QString executableDirectory();
