#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A private Wayland session for tests: sway on its headless backend (no GPU, no input
// devices), with the windows' focus and a screenshot readable from outside (swaymsg,
// grim). sway refuses to run as root, so under root it runs as the unprivileged "nobody"
// in a runtime directory of its own; clients of any user reach it through the absolute
// path of its socket. Activation requests are honoured with the focus
// (focus_on_window_activation focus), not only an urgency hint as by default.
class WaylandSession {
public:
    WaylandSession();
    ~WaylandSession();
    WaylandSession(const WaylandSession&) = delete;
    WaylandSession& operator=(const WaylandSession&) = delete;

    // The compositor's socket as WAYLAND_DISPLAY takes it (an absolute path); empty when
    // sway did not start, and then problem() says why.
    QString display() const { return socket; }
    QString problem() const { return why; }

    // The app_id of the window that has the keyboard focus (empty: none).
    QString focusedAppId() const;
    // Waits up to `timeoutMs` for the window of `appId` to have the focus.
    bool waitForFocus(const QString& appId, int timeoutMs = 15000) const;
    // The titles of the windows shown now.
    QStringList windowTitles() const;
    // Writes a PNG of the whole output to `path`.
    bool screenshot(const QString& path) const;
    // Types into the focused window through the virtual keyboard (wtype's arguments, e.g.
    // "-M", "alt", "i", "-m", "alt" for Alt+I).
    bool type(const QStringList& wtypeArguments) const;
    // Runs a sway command, e.g. "[app_id=kvtool] kill" (a close request, as the title bar's
    // button sends it).
    bool command(const QString& swayCommand) const;

private:
    QByteArray tree() const;

    QTemporaryDir runtime;
    QProcess sway;
    QString socket;
    QString ipc;
    QString why;
};
