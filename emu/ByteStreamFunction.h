#pragma once

#include <QByteArray>
#include <QtGlobal>

// How a byte-stream function behind an FtdiChip answers the host.
class ByteStreamPort {
public:
    virtual ~ByteStreamPort() = default;
    // Queues `bytes` for the host. They reach the chip's receive buffer `delayMs` after the
    // current time (an erase that takes 50 ms answers with delayMs 50), and never before
    // bytes queued earlier.
    virtual void sendToHost(const QByteArray& bytes, quint32 delayMs = 0) = 0;
};

// The firmware behind an FTDI-style serial chip (the generation-3 loader): it sees the
// bytes the host writes as one stream, in order but in arbitrary pieces (a command frame
// and its payload may come in separate writes or together), and answers through the port.
// It knows nothing of USB packets, modem-status bytes, latency or purges: the chip does.
//
// Sketch of a model:
//     class EchoLoader : public ByteStreamFunction {
//         void received(const QByteArray& bytes, quint32, ByteStreamPort& host) override {
//             host.sendToHost(bytes, 50);  // answers each write 50 ms later
//         }
//     };
//     auto device = std::make_shared<EmulatedDevice>(
//         PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3, "K3000001",
//         std::make_unique<FtdiChip>(std::make_unique<EchoLoader>()));
class ByteStreamFunction {
public:
    virtual ~ByteStreamFunction() = default;
    // Bytes the host wrote, at `nowMs` on the project clock.
    virtual void received(const QByteArray& bytes, quint32 nowMs, ByteStreamPort& host) = 0;
};
