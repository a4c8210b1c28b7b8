#pragma once

#include "emu/ByteStreamFunction.h"
#include "emu/ReplyTiming.h"
#include "emu/UsbFunction.h"

#include <deque>
#include <memory>
#include <optional>

// An FTDI-style USB serial chip in front of a byte-stream function (generation 3). Every
// bulk IN packet is two modem-status bytes and up to 62 data bytes. While no data is
// ready the chip answers each IN request with a status-only packet when its latency
// timer expires (16 ms after power-up; the latency vendor request sets it, the link sets
// 1 ms); data that is ready goes out at once. Purge RX drops the data waiting in the chip
// for the host (replies the function has not yet produced, i.e. queued for later, stay);
// purge TX has nothing to drop, as bytes from the host reach the function at once. Other
// vendor requests (baud rate and the like) are accepted and ignored.
class FtdiChip : public UsbFunction, public ByteStreamPort {
public:
    // The modem-status bytes of every packet: CTS and DSR set, transmitter empty.
    static constexpr quint8 MODEM_STATUS[2] = {0x31, 0x60};

    explicit FtdiChip(std::unique_ptr<ByteStreamFunction> function);

    ByteStreamFunction& function() const { return *streamFunction; }
    quint16 latencyMs() const { return latency; }
    // Data bytes in the chip that the host could read at `nowMs`.
    qsizetype readyBytes(quint32 nowMs) const;

    // Replies queued from now on come with these delays (see ReplyTiming); the next one
    // counts as the first.
    void setReplyTiming(const ReplyTiming& timing) { delays = ReplyDelays(timing); }

    void sendToHost(const QByteArray& bytes, quint32 delayMs = 0) override;

    void bulkOut(const QByteArray& data, quint32 nowMs) override;
    quint32 bulkInDelay(quint32 nowMs) override;
    int bulkIn(quint8* buffer, int maxLength, quint32 nowMs) override;
    bool controlOut(const ControlRequest& request, quint32 nowMs) override;

private:
    struct Chunk {
        quint32 readyAtMs;
        QByteArray bytes;
    };
    static bool isReady(const Chunk& chunk, quint32 nowMs);
    quint32 currentTime() const;

    std::unique_ptr<ByteStreamFunction> streamFunction;
    std::deque<Chunk> toHost;
    qsizetype frontOffset = 0;  // bytes of toHost.front() already delivered
    quint16 latency;
    ReplyDelays delays;
    // The time of the call the chip is serving, so that replies queued from inside it
    // are timed from it; outside calls use the project clock.
    std::optional<quint32> callTimeMs;
};
