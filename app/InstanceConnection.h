#pragma once

#include "app/InstanceMessage.h"

#include <QObject>
#include <QTimer>

class QLocalSocket;

// One client of the running instance's socket, from accept to close. It reads one message
// frame as the bytes arrive (never waiting for them), hands the text on through
// `received` and answers with the acknowledgement byte once that signal has returned.
// Malformed data closes the connection at once; a client that has not finished its
// message within the time-out is dropped. Either way `finished` is emitted once, after
// which the owner deletes the object (later, never from inside its signals).
class InstanceConnection : public QObject {
    Q_OBJECT

public:
    // Takes ownership of `socket`, a connected socket from the server.
    InstanceConnection(QLocalSocket* socket, int timeoutMs, QObject* parent = nullptr);

Q_SIGNALS:
    void received(const InstanceMessage::Message& message);
    void finished();

private:
    void readAvailable();
    void drop();
    void finish();

    QLocalSocket* socket;
    QTimer timer;
    InstanceMessage::Decoder decoder;
    bool done = false;
};
