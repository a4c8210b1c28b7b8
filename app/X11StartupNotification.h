#pragma once

#include <QString>

// Ends an X11 launcher's startup notification ("remove: ID=..." in the startup-notification
// protocol), so that a launcher whose start turned into a hand-over to the running kvtool
// stops showing its busy cursor at once instead of at its time-out. Does nothing when the
// application does not run on X11. Qt ends the notification of the process's own launch by
// itself; this is for the id a later instance handed over.
void endX11StartupNotification(const QString& startupId);
