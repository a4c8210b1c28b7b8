#include "app/InstanceConnection.h"

#include <QLocalSocket>
#include <QPointer>

InstanceConnection::InstanceConnection(QLocalSocket* socket, int timeoutMs, QObject* parent)
    : QObject(parent), socket(socket) {
    socket->setParent(this);
    // Never buffer more than one frame's worth from a client, whatever it sends.
    socket->setReadBufferSize(InstanceMessage::HEADER_SIZE + InstanceMessage::MAX_PAYLOAD_BYTES);
    connect(socket, &QLocalSocket::readyRead, this, &InstanceConnection::readAvailable);
    connect(socket, &QLocalSocket::disconnected, this, &InstanceConnection::finish);
    connect(socket, &QLocalSocket::errorOccurred, this, &InstanceConnection::drop);
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &InstanceConnection::drop);
    timer.start(timeoutMs);
    // Bytes may have arrived before the signals were connected.
    QMetaObject::invokeMethod(this, &InstanceConnection::readAvailable, Qt::QueuedConnection);
}

void InstanceConnection::readAvailable() {
    using State = InstanceMessage::Decoder::State;
    // Only the call that completes the frame goes on to deliver it.
    if (done || decoder.state() != State::NeedMore) {
        return;
    }
    while (decoder.state() == State::NeedMore && socket->bytesAvailable() > 0) {
        decoder.feed(socket->read(decoder.wanted()));
    }
    if (decoder.state() == State::NeedMore) {
        return;
    }
    if (decoder.state() == State::Malformed) {
        drop();
        return;
    }
    // Complete: the client has done its part, so the time-out no longer applies, and
    // whatever it sends from here on is ignored. Receivers of the text may run an event
    // loop, in which the client can go away and this connection be finished or even
    // deleted: the guard and the state check cover that.
    timer.stop();
    disconnect(socket, &QLocalSocket::readyRead, this, &InstanceConnection::readAvailable);
    const InstanceMessage::Message message = decoder.message();
    const QPointer<InstanceConnection> guard(this);
    Q_EMIT received(message);
    if (guard.isNull() || done || socket->state() != QLocalSocket::ConnectedState) {
        return;
    }
    socket->write(&InstanceMessage::ACK, 1);
    // Closes once the byte is written; `disconnected` then finishes the connection.
    socket->disconnectFromServer();
}

void InstanceConnection::drop() {
    if (done) {
        return;
    }
    socket->abort();
    finish();
}

void InstanceConnection::finish() {
    if (done) {
        return;
    }
    done = true;
    timer.stop();
    Q_EMIT finished();
}
