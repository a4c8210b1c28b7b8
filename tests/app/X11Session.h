#pragma once

#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>

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
    // For a failure's message: whether the server runs and takes clients, and what it wrote
    // to standard error.
    std::string whatItDid();

    // The id of the visible top-level window titled exactly `title`, waiting up to
    // `timeoutMs` for it to appear.
    std::optional<unsigned long> waitForWindow(const QString& title, int timeoutMs = 15000) const;
    // Focuses `window` and types `keys` (xdotool key names, e.g. "alt+i").
    bool typeInto(unsigned long window, const QString& keys) const;
    // Asks `window` to close, as a window manager's close button does.
    bool close(unsigned long window) const;
    // The size of `window` in pixels of the screen (1024x768).
    std::optional<QSize> size(unsigned long window) const;

    // Sends the liveness ping (_NET_WM_PING) to windows as a window manager does, and times
    // their answers. The server runs no window manager, so this one takes its place on the
    // root window for as long as it lives.
    class Pinger {
    public:
        explicit Pinger(const X11Session& session);
        ~Pinger();
        Pinger(const Pinger&) = delete;
        Pinger& operator=(const Pinger&) = delete;
        // Milliseconds until `window` answered one ping; nothing when it did not answer within
        // `timeoutMs`. Windows that ask to be shown meanwhile are shown.
        std::optional<int> ping(unsigned long window, int timeoutMs);

    private:
        struct _XDisplay* connection = nullptr;
        unsigned long protocols = 0;
        unsigned long pingAtom = 0;
        unsigned long sequence = 0;
    };

    // Listens, from now on, for the startup-notification messages that clients send to the
    // root window; the next complete one, waiting up to `timeoutMs` (empty: none came).
    class StartupMessages {
    public:
        explicit StartupMessages(const X11Session& session);
        ~StartupMessages();
        StartupMessages(const StartupMessages&) = delete;
        StartupMessages& operator=(const StartupMessages&) = delete;
        QByteArray next(int timeoutMs);

    private:
        struct _XDisplay* connection = nullptr;
        unsigned long begin = 0;
        unsigned long more = 0;
        QByteArray pending;
    };

private:
    bool xdotool(const QStringList& arguments, QByteArray* output = nullptr) const;

    QProcess server;
    QString displayName;
};
