#include "WaylandSession.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

constexpr int START_TIMEOUT_MS = 10000;
constexpr int POLL_MS = 50;
constexpr uid_t NOBODY = 65534;
constexpr gid_t NOGROUP = 65534;

// Without Xwayland: kvtool must come up as a Wayland client, and an idle Xwayland would
// take an X display number (and remove its sockets on exit) beside the X11 tests' Xvfb.
constexpr char CONFIG[] =
    "xwayland disable\n"
    "output HEADLESS-1 resolution 1024x768 position 0 0\n"
    "default_border pixel 2\n"
    "focus_on_window_activation focus\n";

// Calls `visit` on every node of a get_tree answer.
void forEachNode(const QJsonObject& node, const std::function<void(const QJsonObject&)>& visit) {
    visit(node);
    for (const char* children : {"nodes", "floating_nodes"}) {
        for (const QJsonValue& child : node.value(QLatin1String(children)).toArray()) {
            forEachNode(child.toObject(), visit);
        }
    }
}

}  // namespace

WaylandSession::WaylandSession() {
    const QDir directory(runtime.path());
    QFile config(directory.filePath(QStringLiteral("sway.conf")));
    if (!config.open(QIODevice::WriteOnly) || config.write(CONFIG) < 0) {
        why = QStringLiteral("cannot write the sway configuration");
        return;
    }
    config.close();
    ipc = directory.filePath(QStringLiteral("ipc.socket"));
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    environment.insert(QStringLiteral("HOME"), runtime.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    environment.insert(QStringLiteral("SWAYSOCK"), ipc);
    environment.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
    environment.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
    environment.insert(QStringLiteral("WLR_HEADLESS_OUTPUTS"), QStringLiteral("1"));
    environment.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
    sway.setProcessEnvironment(environment);
    sway.setProcessChannelMode(QProcess::MergedChannels);
    QStringList command{QStringLiteral("sway"), QStringLiteral("-c"), config.fileName()};
    if (::getuid() == 0) {
        const QByteArray path = QFile::encodeName(runtime.path());
        if (::chown(path.constData(), NOBODY, NOGROUP) != 0 ||
            ::chown(QFile::encodeName(config.fileName()).constData(), NOBODY, NOGROUP) != 0) {
            why = QStringLiteral("cannot hand the runtime directory to nobody");
            return;
        }
        command = QStringList{QStringLiteral("--reuid=%1").arg(NOBODY),
                              QStringLiteral("--regid=%1").arg(NOGROUP),
                              QStringLiteral("--clear-groups")} +
                  command;
        command.prepend(QStringLiteral("setpriv"));
        // The compositor's buffers are shared-memory files in /dev/shm. Where that is no
        // place any user can create files (a chroot whose /dev is bound without its
        // mounts), sway as nobody could draw nothing and would crash at the first
        // window: it gets a /dev/shm of its own, in a mount namespace of its own.
        struct stat shm {};
        if (::stat("/dev/shm", &shm) != 0 || (shm.st_mode & S_IWOTH) == 0) {
            // Mounts stay private to that namespace ("unchanged" propagation, since a chroot's
            // root is no mount point that unshare could make private, then /dev made private
            // by hand), so nothing of it reaches the machine's /dev/shm.
            command = QStringList{QStringLiteral("unshare"),
                                  QStringLiteral("--mount"),
                                  QStringLiteral("--propagation"),
                                  QStringLiteral("unchanged"),
                                  QStringLiteral("--"),
                                  QStringLiteral("sh"),
                                  QStringLiteral("-c"),
                                  QStringLiteral("mount --make-rprivate /dev && mount -t tmpfs "
                                                 "-o mode=1777 tmpfs /dev/shm && exec \"$@\""),
                                  QStringLiteral("sh")} +
                      command;
        }
    }
    sway.start(command.takeFirst(), command);
    // Ready once its socket exists and it answers on its IPC socket.
    const QDeadlineTimer deadline(START_TIMEOUT_MS);
    while (!deadline.hasExpired() && sway.state() != QProcess::NotRunning) {
        const QStringList sockets =
            directory.entryList({QStringLiteral("wayland-*")}, QDir::System);
        for (const QString& name : sockets) {
            if (!name.endsWith(QLatin1String(".lock"))) {
                socket = directory.filePath(name);
            }
        }
        if (!socket.isEmpty() && !tree().isEmpty()) {
            return;
        }
        socket.clear();
        QThread::msleep(POLL_MS);
    }
    why =
        QStringLiteral("sway did not start: ") + QString::fromLocal8Bit(sway.readAll().right(2000));
}

WaylandSession::~WaylandSession() {
    if (sway.state() != QProcess::NotRunning) {
        sway.terminate();
        if (!sway.waitForFinished(5000)) {
            sway.kill();
            sway.waitForFinished(5000);
        }
    }
}

QByteArray WaylandSession::tree() const {
    QProcess swaymsg;
    swaymsg.start(QStringLiteral("swaymsg"), {QStringLiteral("-s"), ipc, QStringLiteral("-r"),
                                              QStringLiteral("-t"), QStringLiteral("get_tree")});
    if (!swaymsg.waitForFinished(5000) || swaymsg.exitCode() != 0) {
        swaymsg.kill();
        return {};
    }
    return swaymsg.readAllStandardOutput();
}

QString WaylandSession::focusedAppId() const {
    QString focused;
    forEachNode(QJsonDocument::fromJson(tree()).object(), [&](const QJsonObject& node) {
        if (node.value(QLatin1String("focused")).toBool()) {
            focused = node.value(QLatin1String("app_id")).toString();
        }
    });
    return focused;
}

bool WaylandSession::waitForFocus(const QString& appId, int timeoutMs) const {
    const QDeadlineTimer deadline(timeoutMs);
    while (focusedAppId() != appId) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(POLL_MS);
    }
    return true;
}

QStringList WaylandSession::windowTitles() const {
    QStringList titles;
    forEachNode(QJsonDocument::fromJson(tree()).object(), [&](const QJsonObject& node) {
        if (node.contains(QLatin1String("app_id"))) {
            titles << node.value(QLatin1String("name")).toString();
        }
    });
    return titles;
}

bool WaylandSession::screenshot(const QString& path) const {
    QProcess grim;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
    grim.setProcessEnvironment(environment);
    grim.start(QStringLiteral("grim"), {path});
    return grim.waitForFinished(10000) && grim.exitCode() == 0;
}

bool WaylandSession::type(const QStringList& wtypeArguments) const {
    QProcess wtype;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
    wtype.setProcessEnvironment(environment);
    wtype.setProcessChannelMode(QProcess::ForwardedErrorChannel);  // why it failed, in the log
    // Each wtype is a new virtual keyboard: keys sent at once come before the window has
    // taken its keymap and are lost, so it waits a moment first.
    wtype.start(QStringLiteral("wtype"),
                QStringList{QStringLiteral("-s"), QStringLiteral("300")} + wtypeArguments);
    return wtype.waitForFinished(5000) && wtype.exitCode() == 0;
}

bool WaylandSession::command(const QString& swayCommand) const {
    QProcess swaymsg;
    swaymsg.start(QStringLiteral("swaymsg"), {QStringLiteral("-s"), ipc, swayCommand});
    return swaymsg.waitForFinished(5000) && swaymsg.exitCode() == 0;
}
