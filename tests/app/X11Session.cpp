#include "X11Session.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

#include <X11/Xlib.h>

#include <utility>

namespace {

constexpr int START_TIMEOUT_MS = 10000;
constexpr int TOOL_TIMEOUT_MS = 10000;
constexpr int POLL_MS = 50;

}  // namespace

X11Session::X11Session() {
    // -displayfd 1: the server picks a free display and writes its number to stdout once
    // it accepts clients. -noreset: by default a server resets when its last client leaves
    // (each xdotool call does), and a client that connects meanwhile is turned away.
    server.start(QStringLiteral("Xvfb"),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                  QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp"), QStringLiteral("-noreset")});
    QDeadlineTimer deadline(START_TIMEOUT_MS);
    QByteArray number;
    while (!number.endsWith('\n') && !deadline.hasExpired() &&
           server.state() != QProcess::NotRunning) {
        server.waitForReadyRead(POLL_MS);
        number += server.readAllStandardOutput();
    }
    if (number.endsWith('\n')) {
        displayName = u':' + QString::fromLatin1(number.trimmed());
    }
}

X11Session::~X11Session() {
    server.terminate();
    if (!server.waitForFinished(5000)) {
        server.kill();
        server.waitForFinished(5000);
    }
}

std::string X11Session::whatItDid() {
    Display* connection = XOpenDisplay(displayName.toLatin1().constData());
    const bool reached = connection != nullptr;
    if (reached) {
        XCloseDisplay(connection);
    }
    const QString state = server.state() == QProcess::NotRunning
                              ? QStringLiteral("ended with %1").arg(server.exitCode())
                              : QStringLiteral("running");
    return QStringLiteral("X server %1 %2, %3; standard error:\n%4")
        .arg(displayName, state,
             reached ? QStringLiteral("takes clients") : QStringLiteral("takes no clients"),
             QString::fromLocal8Bit(server.readAllStandardError()))
        .toStdString();
}

bool X11Session::xdotool(const QStringList& arguments, QByteArray* output) const {
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), displayName);
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral("xdotool"), arguments);
    if (!tool.waitForFinished(TOOL_TIMEOUT_MS)) {
        tool.kill();
        tool.waitForFinished();
        return false;
    }
    if (output != nullptr) {
        *output = tool.readAllStandardOutput();
    }
    return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

std::optional<unsigned long> X11Session::waitForWindow(const QString& title, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    const QString pattern = u'^' + QRegularExpression::escape(title) + u'$';
    do {
        QByteArray found;
        if (xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                     QStringLiteral("--name"), pattern},
                    &found)) {
            bool ok = false;
            const unsigned long window = found.split('\n').first().trimmed().toULong(&ok);
            if (ok) {
                return window;
            }
        }
        QThread::msleep(POLL_MS);
    } while (!deadline.hasExpired());
    return std::nullopt;
}

bool X11Session::typeInto(unsigned long window, const QString& keys) const {
    return xdotool({QStringLiteral("windowfocus"), QString::number(window)}) &&
           xdotool({QStringLiteral("key"), keys});
}

std::optional<QSize> X11Session::size(unsigned long window) const {
    QByteArray output;
    if (!xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"),
                  QString::number(window)},
                 &output)) {
        return std::nullopt;
    }
    QSize size;
    for (const QByteArray& line : output.split('\n')) {
        if (line.startsWith("WIDTH=")) {
            size.setWidth(line.mid(6).toInt());
        } else if (line.startsWith("HEIGHT=")) {
            size.setHeight(line.mid(7).toInt());
        }
    }
    return size.isValid() ? std::optional(size) : std::nullopt;
}

bool X11Session::close(unsigned long window) const {
    Display* connection = XOpenDisplay(displayName.toLatin1().constData());
    if (connection == nullptr) {
        return false;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(connection, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(connection, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(connection, window, False, NoEventMask, &event);
    XCloseDisplay(connection);
    return sent != 0;
}

X11Session::StartupMessages::StartupMessages(const X11Session& session)
    : connection(XOpenDisplay(session.display().toLatin1().constData())) {
    if (connection == nullptr) {
        return;
    }
    begin = XInternAtom(connection, "_NET_STARTUP_INFO_BEGIN", False);
    more = XInternAtom(connection, "_NET_STARTUP_INFO", False);
    XSelectInput(connection, DefaultRootWindow(connection), PropertyChangeMask);
    XSync(connection, False);
}

X11Session::StartupMessages::~StartupMessages() {
    if (connection != nullptr) {
        XCloseDisplay(connection);
    }
}

QByteArray X11Session::StartupMessages::next(int timeoutMs) {
    if (connection == nullptr) {
        return {};
    }
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        while (XPending(connection) > 0) {
            XEvent event;
            XNextEvent(connection, &event);
            if (event.type != ClientMessage || event.xclient.format != 8) {
                continue;
            }
            if (event.xclient.message_type == begin) {
                pending.clear();
            } else if (event.xclient.message_type != more) {
                continue;
            }
            pending.append(event.xclient.data.b, sizeof(event.xclient.data.b));
            const qsizetype end = pending.indexOf('\0');
            if (end >= 0) {
                return std::exchange(pending, QByteArray()).left(end);
            }
        }
        QThread::msleep(POLL_MS / 5);
    }
    return {};
}

X11Session::Pinger::Pinger(const X11Session& session)
    : connection(XOpenDisplay(session.display().toLatin1().constData())) {
    if (connection == nullptr) {
        return;
    }
    protocols = XInternAtom(connection, "WM_PROTOCOLS", False);
    pingAtom = XInternAtom(connection, "_NET_WM_PING", False);
    // A client answers a ping by sending it on to the root window, where the window manager
    // listens with these masks.
    XSelectInput(connection, DefaultRootWindow(connection),
                 SubstructureRedirectMask | SubstructureNotifyMask);
    XSync(connection, False);
}

X11Session::Pinger::~Pinger() {
    if (connection != nullptr) {
        XCloseDisplay(connection);
    }
}

std::optional<int> X11Session::Pinger::ping(unsigned long window, int timeoutMs) {
    if (connection == nullptr) {
        return std::nullopt;
    }
    // The timestamp field tells the answers apart.
    const unsigned long stamp = ++sequence;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(pingAtom);
    event.xclient.data.l[1] = static_cast<long>(stamp);
    event.xclient.data.l[2] = static_cast<long>(window);
    QElapsedTimer clock;
    clock.start();
    XSendEvent(connection, window, False, NoEventMask, &event);
    XFlush(connection);
    while (clock.elapsed() < timeoutMs) {
        while (XPending(connection) > 0) {
            XEvent answer;
            XNextEvent(connection, &answer);
            // As the window manager: windows that ask to be shown or moved meanwhile are.
            if (answer.type == MapRequest) {
                XMapWindow(connection, answer.xmaprequest.window);
                continue;
            }
            if (answer.type == ConfigureRequest) {
                const XConfigureRequestEvent& request = answer.xconfigurerequest;
                XWindowChanges changes{request.x,
                                       request.y,
                                       request.width,
                                       request.height,
                                       request.border_width,
                                       request.above,
                                       request.detail};
                XConfigureWindow(connection, request.window, unsigned(request.value_mask),
                                 &changes);
                continue;
            }
            if (answer.type == ClientMessage && answer.xclient.message_type == protocols &&
                static_cast<unsigned long>(answer.xclient.data.l[0]) == pingAtom &&
                static_cast<unsigned long>(answer.xclient.data.l[1]) == stamp) {
                return int(clock.elapsed());
            }
        }
        QThread::usleep(500);
    }
    return std::nullopt;
}
