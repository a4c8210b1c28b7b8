#include "emu/FtdiChip.h"

#include "app/Clock.h"
#include "device/FtdiProtocol.h"

#include <algorithm>
#include <cstring>

FtdiChip::FtdiChip(std::unique_ptr<ByteStreamFunction> function)
    : streamFunction(std::move(function)), latency(ftdi::DEFAULT_LATENCY_TIMER_MS) {}

bool FtdiChip::isReady(const Chunk& chunk, quint32 nowMs) {
    return static_cast<qint32>(nowMs - chunk.readyAtMs) >= 0;
}

quint32 FtdiChip::currentTime() const {
    return callTimeMs ? *callTimeMs : tickCountMs();
}

qsizetype FtdiChip::readyBytes(quint32 nowMs) const {
    qsizetype ready = 0;
    for (const Chunk& chunk : toHost) {
        if (!isReady(chunk, nowMs)) {
            break;
        }
        ready += chunk.bytes.size();
    }
    return ready - (toHost.empty() ? 0 : frontOffset);
}

void FtdiChip::sendToHost(const QByteArray& bytes, quint32 delayMs) {
    if (bytes.isEmpty()) {
        return;
    }
    const quint32 readyAt =
        delays.readyAt(currentTime(), delayMs,
                       toHost.empty() ? std::nullopt : std::optional(toHost.back().readyAtMs));
    toHost.push_back({readyAt, bytes});
}

void FtdiChip::bulkOut(const QByteArray& data, quint32 nowMs) {
    if (data.isEmpty()) {
        return;
    }
    callTimeMs = nowMs;
    streamFunction->received(data, nowMs, *this);
    callTimeMs.reset();
}

quint32 FtdiChip::bulkInDelay(quint32 nowMs) {
    return !toHost.empty() && isReady(toHost.front(), nowMs) ? 0 : latency;
}

int FtdiChip::bulkIn(quint8* buffer, int maxLength, quint32 nowMs) {
    const int status = std::min(maxLength, ftdi::MODEM_STATUS_BYTES);
    if (status <= 0) {
        return 0;
    }
    std::memcpy(buffer, MODEM_STATUS, static_cast<size_t>(status));
    int count = status;
    const int room = std::min(maxLength, ftdi::PACKET_SIZE);
    while (count < room && !toHost.empty() && isReady(toHost.front(), nowMs)) {
        const QByteArray& front = toHost.front().bytes;
        const qsizetype take = std::min<qsizetype>(room - count, front.size() - frontOffset);
        std::memcpy(buffer + count, front.constData() + frontOffset, static_cast<size_t>(take));
        count += static_cast<int>(take);
        frontOffset += take;
        if (frontOffset == front.size()) {
            toHost.pop_front();
            frontOffset = 0;
        }
    }
    return count;
}

bool FtdiChip::controlOut(const ControlRequest& request, quint32 nowMs) {
    if (request.requestType != ControlRequest::TYPE_VENDOR_DEVICE_OUT) {
        return false;
    }
    switch (request.request) {
        case ftdi::REQUEST_RESET:
            if (request.value == ftdi::RESET_CHIP || request.value == ftdi::PURGE_RX) {
                // Drops what already sits in the chip; replies still being produced stay.
                while (!toHost.empty() && isReady(toHost.front(), nowMs)) {
                    toHost.pop_front();
                }
                frontOffset = 0;
                return true;
            }
            return request.value == ftdi::PURGE_TX;
        case ftdi::REQUEST_SET_LATENCY_TIMER: {
            const quint16 period = request.value & 0xFF;
            if (period < 1) {
                return false;
            }
            latency = period;
            return true;
        }
        default:
            return true;
    }
}
