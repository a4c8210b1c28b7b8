#include "emu/RawPacketPipe.h"

#include "app/Clock.h"

#include <algorithm>
#include <cstring>

quint32 PacketFunction::busyForMs(quint32 nowMs) const {
    Q_UNUSED(nowMs);
    return 0;
}

RawPacketPipe::RawPacketPipe(std::unique_ptr<PacketFunction> function)
    : packetFunction(std::move(function)) {}

quint32 RawPacketPipe::currentTime() const {
    return callTimeMs ? *callTimeMs : tickCountMs();
}

void RawPacketPipe::sendToHost(const QByteArray& reply, quint32 delayMs) {
    const quint32 readyAt = delays.readyAt(currentTime(), delayMs,
                                           toHost.empty() ? std::nullopt : toHost.back().readyAtMs);
    qsizetype offset = 0;
    for (const int size : replyPieces) {
        if (offset >= reply.size()) {
            break;
        }
        if (size > 0 && offset + size < reply.size()) {
            toHost.push_back({readyAt, reply.mid(offset, size)});
            offset += size;
        }
    }
    toHost.push_back({readyAt, reply.mid(offset)});
}

void RawPacketPipe::queueLeftOver(const QByteArray& reply) {
    toHost.push_back({std::nullopt, reply});
}

void RawPacketPipe::reenumerate(quint16 productId, quint32 absentMs,
                                const std::optional<QString>& serialNumber) {
    toHost.clear();
    frontOffset = 0;
    delays.restart();
    if (UsbDeviceControl* device = deviceControl()) {
        device->reenumerate(productId, absentMs, serialNumber);
    }
}

void RawPacketPipe::bulkOut(const QByteArray& data, quint32 nowMs) {
    callTimeMs = nowMs;
    packetFunction->received(data, nowMs, *this);
    callTimeMs.reset();
}

quint32 RawPacketPipe::bulkInDelay(quint32 nowMs) {
    if (toHost.empty()) {
        return NEVER;
    }
    if (!toHost.front().readyAtMs) {
        return 0;
    }
    const qint32 wait = static_cast<qint32>(*toHost.front().readyAtMs - nowMs);
    return wait > 0 ? static_cast<quint32>(wait) : 0;
}

int RawPacketPipe::bulkIn(quint8* buffer, int maxLength, quint32 nowMs) {
    if (toHost.empty() || bulkInDelay(nowMs) > 0 || maxLength <= 0) {
        return 0;
    }
    const QByteArray& front = toHost.front().bytes;
    const qsizetype take = std::min<qsizetype>(maxLength, front.size() - frontOffset);
    std::memcpy(buffer, front.constData() + frontOffset, static_cast<size_t>(take));
    frontOffset += take;
    if (frontOffset == front.size()) {
        toHost.pop_front();
        frontOffset = 0;
    }
    return static_cast<int>(take);
}

quint32 RawPacketPipe::bulkOutDelay(quint32 nowMs) {
    return packetFunction->busyForMs(nowMs);
}

bool RawPacketPipe::controlOut(const ControlRequest& request, quint32 nowMs) {
    Q_UNUSED(request);
    Q_UNUSED(nowMs);
    return false;  // the generation-2 firmware has no vendor requests
}
