#include "app/InstanceChannel.h"

#include "app/InstanceConnection.h"
#include "app/InstanceMessage.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

// Whether the file at the socket's path is one this user made: it exists, is no symbolic
// link and belongs to this user. Only such a file is talked to or replaced.
bool isOwnSocketFile(const QFileInfo& info) {
    return info.exists() && !info.isSymLink() && info.ownerId() == ::getuid();
}

constexpr QFileDevice::Permissions NOT_OWNER_ONLY =
    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
    QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

// XDG_RUNTIME_DIR when it names a directory that only this user can enter.
QString privateRuntimeDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) {
        return {};
    }
    const QFileInfo info(runtime);
    if (!info.isAbsolute() || !info.isDir() || info.isSymLink() || info.ownerId() != ::getuid() ||
        (info.permissions() & NOT_OWNER_ONLY) != 0) {
        return {};
    }
    return info.absoluteFilePath();
}

bool fitsSocketAddress(const QString& path) {
    return static_cast<size_t>(QFile::encodeName(path).size()) < sizeof(sockaddr_un::sun_path);
}

// A directory of this user's own in the temporary directory, made when missing: only this
// user can create, replace or reach anything in it. Empty, with `problem` set, when the
// name is taken by something else (another user's directory, a symbolic link, a file).
QString privateTemporaryDirectory(QString& problem) {
    QString directory = QDir::cleanPath(QDir::tempPath()) + QStringLiteral("/kvtool-") +
                        QString::number(::getuid());
    const QByteArray name = QFile::encodeName(directory);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        problem = directory + QStringLiteral(" cannot be created");
        return {};
    }
    struct stat status {};
    if (::lstat(name.constData(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::getuid()) {
        problem = directory + QStringLiteral(" is not a directory of this user's");
        return {};
    }
    // Ours but open to others (made by hand, say): closed again. What others may have
    // put in it meanwhile is theirs, and never talked to nor replaced.
    if ((status.st_mode & 077) != 0 && ::chmod(name.constData(), 0700) != 0) {
        problem = directory + QStringLiteral(" cannot be made private");
        return {};
    }
    return directory;
}

// Where the socket of `instanceId` lives; empty, with `problem` set, when no place is
// private to this user.
QString socketPathFor(const QString& instanceId, QString& problem) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(instanceId.toUtf8());
    hash.addData(QByteArrayView("\n"));
    hash.addData(QByteArray::number(::getuid()));
    const QString name = QStringLiteral("kvtool-") +
                         QString::fromLatin1(hash.result().toHex().left(32)) +
                         QStringLiteral(".socket");
    const QString runtime = privateRuntimeDirectory();
    if (!runtime.isEmpty() && fitsSocketAddress(runtime + u'/' + name)) {
        return runtime + u'/' + name;
    }
    const QString directory = privateTemporaryDirectory(problem);
    if (directory.isEmpty()) {
        return {};
    }
    if (!fitsSocketAddress(directory + u'/' + name)) {
        problem = directory + QStringLiteral(" is too long a path for a socket");
        return {};
    }
    return directory + u'/' + name;
}

// Milliseconds left before `deadline`, for the socket waits.
int remainingMs(const QDeadlineTimer& deadline) {
    return static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 0, INT_MAX));
}

}  // namespace

InstanceChannel::InstanceChannel(const QString& instanceId, QObject* parent)
    : QObject(parent), path(socketPathFor(instanceId, unusable)) {}

InstanceChannel::~InstanceChannel() {
    // Delete the clients while this object is still whole: closing their sockets would
    // otherwise report back into a half-destroyed channel.
    for (InstanceConnection* connection : std::exchange(connections, {})) {
        disconnect(connection, nullptr, this, nullptr);
        delete connection;
    }
}

InstanceChannel::Presence InstanceChannel::presence() const {
    if (path.isEmpty()) {
        return Presence::Unknown;
    }
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        return Presence::Absent;
    }
    // Never talk to, nor replace, a file that another user put there.
    if (!isOwnSocketFile(info)) {
        return Presence::Unknown;
    }
    QLocalSocket probe;
    probe.connectToServer(path);
    const bool connected = probe.waitForConnected(PRESENCE_TIMEOUT_MS);
    // Still connecting means the listener's queue is full: somebody is there.
    const bool somebody = connected || probe.state() == QLocalSocket::ConnectingState;
    const QLocalSocket::LocalSocketError error = probe.error();
    probe.abort();
    if (somebody) {
        return Presence::Listening;
    }
    if (error == QLocalSocket::ConnectionRefusedError ||
        error == QLocalSocket::ServerNotFoundError) {
        return Presence::Absent;  // a socket file left behind by an instance that died
    }
    return Presence::Unknown;
}

bool InstanceChannel::anotherInstanceListening() const {
    return presence() == Presence::Listening;
}

bool InstanceChannel::listen() {
    if (server != nullptr) {
        return true;
    }
    if (path.isEmpty()) {
        return false;
    }
    // Several instances may start at the same moment: the check for a listener, the
    // take-over of a stale socket and the listen itself are one step that only one of them
    // takes at a time. A lock left by a process that died is taken over.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(LOCK_TIMEOUT_MS)) {
        unusable = QStringLiteral("%1 stays locked").arg(lock.fileName());
        return false;
    }
    return listenOnPath();
}

bool InstanceChannel::listenOnPath() {
    // The directory is this user's alone, so the socket needs no permissions of its own;
    // and bound directly (not renamed into place), it never replaces a file in the way.
    auto candidate = std::make_unique<QLocalServer>(this);
    if (!candidate->listen(path)) {
        // Only a socket file of this user's that nobody answers on is stale and removed.
        if (candidate->serverError() != QAbstractSocket::AddressInUseError ||
            presence() != Presence::Absent || !QFile::remove(path) || !candidate->listen(path)) {
            return false;
        }
    }
    // Owner-only as well, should the directory ever be opened to others.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    server = candidate.release();
    connect(server, &QLocalServer::newConnection, this, &InstanceChannel::acceptConnections);
    return true;
}

void InstanceChannel::acceptConnections() {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        if (connections.size() >= MAX_CONNECTIONS) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto* connection = new InstanceConnection(socket, clientTimeoutMs, this);
        connections.append(connection);
        connect(connection, &InstanceConnection::received, this,
                [this](const InstanceMessage::Message& message) {
                    Q_EMIT activationReceived(message.activationToken, message.startupId);
                    Q_EMIT messageReceived(message.text);
                });
        connect(connection, &InstanceConnection::finished, this, [this, connection] {
            connections.removeOne(connection);
            disconnect(connection, nullptr, this, nullptr);
            connection->deleteLater();
        });
    }
}

bool InstanceChannel::sendMessage(const QString& message, int timeoutMs) const {
    return sendMessage(InstanceMessage::Message{message, QString(), QString()}, timeoutMs);
}

bool InstanceChannel::sendMessage(const InstanceMessage::Message& message, int timeoutMs) const {
    const std::optional<QByteArray> frame = InstanceMessage::encode(message);
    if (!frame) {
        return false;
    }
    const QDeadlineTimer deadline(std::max(timeoutMs, 0));
    if (path.isEmpty() || !isOwnSocketFile(QFileInfo(path))) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(remainingMs(deadline))) {
        return false;
    }
    socket.write(*frame);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs(deadline))) {
            return false;
        }
    }
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(remainingMs(deadline))) {
            return false;
        }
    }
    char reply = 0;
    return socket.getChar(&reply) && reply == InstanceMessage::ACK;
}

void InstanceChannel::stopListening() {
    qDeleteAll(std::exchange(connections, {}));
    delete std::exchange(server, nullptr);
}
