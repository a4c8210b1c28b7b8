#pragma once

#include "app/InstanceMessage.h"

#include <QList>
#include <QObject>
#include <QString>

class InstanceConnection;
class QLocalServer;

// The local socket through which instances of one program, known by an id, find each
// other on one user's desktop. The running instance listens; a later one asks whether
// somebody listens and hands it a message (see InstanceMessage for the frame).
//
// The socket lives where only this user can reach it: in XDG_RUNTIME_DIR when that is a
// private directory of the user's, else in a directory of the user's own in the temporary
// directory (kvtool-UID, made private). Its name is a hash of the id and the user id, so
// the id itself may be any text and other users' instances never meet ours. A socket file
// that nobody answers on (its instance crashed) is taken over; instances that start at the
// same moment take turns, under a lock file beside the socket, so only one listens.
// Where no private place exists, nothing listens (unusableReason() tells why).
//
// Whatever a local client sends, the listening side neither blocks nor grows: at most
// MAX_CONNECTIONS clients are served at a time, each reads at most one bounded frame and
// is dropped when malformed or when it has not finished within the client time-out.
class InstanceChannel : public QObject {
    Q_OBJECT

public:
    static constexpr int DEFAULT_CLIENT_TIMEOUT_MS = 2000;
    static constexpr int MAX_CONNECTIONS = 16;
    // How long a presence check waits for a listener whose queue is full.
    static constexpr int PRESENCE_TIMEOUT_MS = 1000;
    // How long listen() waits for another instance that is starting at the same moment.
    static constexpr int LOCK_TIMEOUT_MS = 3000;

    explicit InstanceChannel(const QString& instanceId, QObject* parent = nullptr);
    ~InstanceChannel() override;

    // The full path of the socket, fixed at construction; empty when no place is private
    // to this user.
    QString serverPath() const { return path; }
    // Why listen() cannot listen, beyond another instance listening; empty when nothing
    // stands in the way.
    QString unusableReason() const { return unusable; }

    // Whether an instance, this one included, listens under the id.
    bool anotherInstanceListening() const;
    // Starts listening unless it already does or another instance listens; returns
    // whether this instance listens.
    bool listen();
    bool isListening() const { return server != nullptr; }
    // Stops listening (the socket goes), so that a later start becomes the running
    // instance; clients being served are dropped.
    void stopListening();

    // Hands `message` to the listening instance and waits at most `timeoutMs` for its
    // acknowledgement. False at once when nobody listens or the text is too long.
    // Uses nothing but the path, so it may run on any thread.
    bool sendMessage(const QString& message, int timeoutMs) const;
    // The same with what lets the listening instance come to the front.
    bool sendMessage(const InstanceMessage::Message& message, int timeoutMs) const;

    // Clients being served right now.
    int connectionCount() const { return static_cast<int>(connections.size()); }
    // For tests: how long a client may take to deliver its message.
    void setClientTimeout(int milliseconds) { clientTimeoutMs = milliseconds; }

Q_SIGNALS:
    // Emitted on the thread that listens (the GUI thread) for every complete message:
    // first what came to let this instance come to the front (each empty when nothing
    // did), then the text.
    void activationReceived(const QString& activationToken, const QString& startupId);
    void messageReceived(const QString& message);

private:
    enum class Presence { Absent, Listening, Unknown };
    Presence presence() const;
    bool listenOnPath();
    void acceptConnections();

    QString unusable;
    QString path;
    QLocalServer* server = nullptr;
    QList<InstanceConnection*> connections;
    int clientTimeoutMs = DEFAULT_CLIENT_TIMEOUT_MS;
};
