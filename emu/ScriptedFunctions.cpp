#include "emu/ScriptedFunctions.h"

void ScriptedByteStream::answerNextWrite(const QByteArray& reply, quint32 delayMs) {
    replies.push_back({reply, delayMs});
}

void ScriptedByteStream::received(const QByteArray& bytes, quint32 nowMs, ByteStreamPort& host) {
    Q_UNUSED(nowMs);
    received_ += bytes;
    if (!replies.empty()) {
        host.sendToHost(replies.front().bytes, replies.front().delayMs);
        replies.pop_front();
    }
}

void ScriptedPacketFunction::answerNextPacket(const QByteArray& reply, quint32 delayMs) {
    replies.push_back({reply, delayMs, false, 0});
}

void ScriptedPacketFunction::reenumerateOnNextPacket(quint16 productId, quint32 absentMs) {
    replies.push_back({QByteArray(), absentMs, true, productId});
}

void ScriptedPacketFunction::received(const QByteArray& packet, quint32 nowMs, PacketPort& host) {
    Q_UNUSED(nowMs);
    received_.append(packet);
    if (replies.empty()) {
        return;
    }
    const Reply reply = replies.front();
    replies.pop_front();
    if (reply.reenumerate) {
        host.reenumerate(reply.productId, reply.delayMs);
    } else {
        host.sendToHost(reply.bytes, reply.delayMs);
    }
}
