#pragma once

#include "emu/PacketFunction.h"
#include "emu/ReplyTiming.h"
#include "emu/UsbFunction.h"

#include <QList>

#include <deque>
#include <memory>
#include <optional>

// Raw bulk pipes in front of a packet function (generation 2): no framing. A bulk IN
// request completes as soon as a reply is ready and delivers what is left of that reply,
// up to the length requested; with no reply queued it is never answered (the host waits
// out its time-out), and a reply whose transfer the host gave up on stays queued for the
// next one. Replies may be split into several transfers (setReplyPieces), as a
// device whose 64-byte answer arrives as 40 and then 24 bytes.
class RawPacketPipe : public UsbFunction, public PacketPort {
public:
    explicit RawPacketPipe(std::unique_ptr<PacketFunction> function);

    PacketFunction& function() const { return *packetFunction; }
    // Replies queued from now on go out as transfers of these sizes, the last taking the
    // rest (for example {40} or {40, 24}); empty: one transfer per reply.
    void setReplyPieces(const QList<int>& pieces) { replyPieces = pieces; }
    // Replies queued from now on come with these delays (see ReplyTiming); the count of
    // late replies starts at the next restart.
    void setReplyTiming(const ReplyTiming& timing) { delays = ReplyDelays(timing, false); }
    // Replies not yet delivered, ready or not.
    qsizetype queuedReplies() const { return static_cast<qsizetype>(toHost.size()); }

    void sendToHost(const QByteArray& reply, quint32 delayMs = 0) override;
    // Queues a reply that is ready whatever the time: one left from an earlier session,
    // before the clock of this one started.
    void queueLeftOver(const QByteArray& reply);
    void reenumerate(quint16 productId, quint32 absentMs,
                     const std::optional<QString>& serialNumber = std::nullopt) override;

    void bulkOut(const QByteArray& data, quint32 nowMs) override;
    quint32 bulkInDelay(quint32 nowMs) override;
    int bulkIn(quint8* buffer, int maxLength, quint32 nowMs) override;
    quint32 bulkOutDelay(quint32 nowMs) override;
    bool controlOut(const ControlRequest& request, quint32 nowMs) override;

private:
    struct Transfer {
        std::optional<quint32> readyAtMs;  // none: ready at once
        QByteArray bytes;
    };
    quint32 currentTime() const;

    std::unique_ptr<PacketFunction> packetFunction;
    std::deque<Transfer> toHost;
    qsizetype frontOffset = 0;
    QList<int> replyPieces;
    ReplyDelays delays{ReplyTiming(), false};
    std::optional<quint32> callTimeMs;
};
