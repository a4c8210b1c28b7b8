#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <optional>

// A private X server (Xvfb) for tests that drive a real program's windows from outside:
// find a window by its title, type keys into it, and ask it to close as a window manager
// would (WM_DELETE_WINDOW). Keys go through xdotool.
class X11Session {
public:
    X11Session();
    ~X11Session();
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;

    // The DISPLAY value of the server, empty when it did not start.
    QString display() const { return displayName; }

    // The id of the visible top-level window titled exactly `title`, waiting up to
    // `timeoutMs` for it to appear.
    std::optional<unsigned long> waitForWindow(const QString& title, int timeoutMs = 15000) const;
    // Focuses `window` and types `keys` (xdotool key names, e.g. "alt+i").
    bool typeInto(unsigned long window, const QString& keys) const;
    // Asks `window` to close, as a window manager's close button does.
    bool close(unsigned long window) const;

private:
    bool xdotool(const QStringList& arguments, QByteArray* output = nullptr) const;

    QProcess server;
    QString displayName;
};
