#pragma once

#include "emu/ByteStreamFunction.h"
#include "emu/PacketFunction.h"

#include <QList>

#include <deque>

// Small scriptable functions for tests of the transport and the links, until the real
// device models sit behind the chip and the pipe.

// A byte stream that records what the host wrote and answers from a script: each write
// takes the next scripted reply, if any.
class ScriptedByteStream : public ByteStreamFunction {
public:
    // The next write that arrives is answered with `reply`, `delayMs` later.
    void answerNextWrite(const QByteArray& reply, quint32 delayMs = 0);
    QByteArray receivedBytes() const { return received_; }

    void received(const QByteArray& bytes, quint32 nowMs, ByteStreamPort& host) override;

private:
    struct Reply {
        QByteArray bytes;
        quint32 delayMs;
    };
    std::deque<Reply> replies;
    QByteArray received_;
};

// A packet function that records the packets and answers each with the next scripted
// reply, if any.
class ScriptedPacketFunction : public PacketFunction {
public:
    void answerNextPacket(const QByteArray& reply, quint32 delayMs = 0);
    // The next packet makes the device re-enumerate as `productId` after `absentMs`.
    void reenumerateOnNextPacket(quint16 productId, quint32 absentMs);
    QList<QByteArray> packets() const { return received_; }

    void received(const QByteArray& packet, quint32 nowMs, PacketPort& host) override;

private:
    struct Reply {
        QByteArray bytes;
        quint32 delayMs;
        bool reenumerate;
        quint16 productId;
    };
    std::deque<Reply> replies;
    QList<QByteArray> received_;
};
