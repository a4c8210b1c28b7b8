#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// How a packet function behind a RawPacketPipe answers the host and acts on its device.
class PacketPort {
public:
    virtual ~PacketPort() = default;
    // Queues one reply for the host (normally 64 bytes), readable `delayMs` after the
    // current time and never before replies queued earlier. Each bulk IN transfer takes
    // from one reply only, at most what the host asked for.
    virtual void sendToHost(const QByteArray& reply, quint32 delayMs = 0) = 0;
    // The device restarts: it leaves the bus at once (open pipes die) and comes back
    // `absentMs` later as `productId` (and `serialNumber`, when given). Queued replies are
    // dropped.
    virtual void reenumerate(quint16 productId, quint32 absentMs,
                             const std::optional<QString>& serialNumber = std::nullopt) = 0;
};

// The firmware behind raw 64-byte bulk pipes (the generation-2 application and
// bootloader): each bulk OUT transfer from the host is one packet; replies go out through
// the port. The function decides what it is (application or bootloader) and asks the port
// to re-enumerate it when it restarts into the other.
//
// Sketch of a model:
//     class Gen2Probe : public PacketFunction {
//         void received(const QByteArray& packet, quint32, PacketPort& host) override {
//             if (packet.value(0) == char(0x84)) host.sendToHost(infoReply());  // ReadInfo
//             if (packet.value(0) == char(0x83)) host.reenumerate(0x00FF, 1500);  // restart
//         }
//     };
//     auto device = std::make_shared<EmulatedDevice>(
//         PROBE_VENDOR_ID, PRODUCT_ID_GENERATION2, "K2000001",
//         std::make_unique<RawPacketPipe>(std::make_unique<Gen2Probe>()));
class PacketFunction {
public:
    virtual ~PacketFunction() = default;
    // One bulk OUT transfer from the host, at `nowMs` on the project clock.
    virtual void received(const QByteArray& packet, quint32 nowMs, PacketPort& host) = 0;
    // How long the firmware stays too busy to take the next packet (writing flash, say);
    // the pipe holds a bulk OUT transfer back that long. By default never busy.
    virtual quint32 busyForMs(quint32 nowMs) const;
};
