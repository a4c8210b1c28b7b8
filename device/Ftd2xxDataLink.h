#pragma once

#include "device/FtdiProtocol.h"
#include "device/HDataLink.h"
#include "device/UsbDeviceInfo.h"
#include "device/UsbPipes.h"

#include <array>
#include <memory>

// The link to a generation-3 probe, whose USB function frames its byte stream like an FTDI
// serial chip: every packet from the probe starts with two modem-status bytes, and the chip
// has a latency timer and receive and transmit buffers. Opening resets the pipe, sets the
// latency timer to 1 ms and purges both buffers; any failure there throws and leaves
// nothing open. Afterwards transfer failures come back as result values: read and write
// never throw.
//
// Data of a packet beyond what a read asked for is kept for the next read, so a reply can
// be read in pieces of any size without losing bytes.
class Ftd2xxDataLink : public HDataLink {
public:
    explicit Ftd2xxDataLink(const UsbDeviceInfo& device);

    // `length` when all bytes arrived; fewer (possibly 0) when the probe sent only empty
    // packets for strictly more than the time-out since this call's first transfer; -1 when
    // a transfer failed, timed out or brought less than the two status bytes.
    int read(void* buffer, int length) override;
    // The number of bytes written (unframed), or -1 when the transfer failed or timed out.
    int write(const void* buffer, int length) override;
    // Purges the chip's receive buffer, then its transmit buffer; throws "cannot purge RX"
    // or "cannot purge TX". Data already kept by the link stays.
    bool purge() override;

private:
    std::unique_ptr<UsbPipes> pipes;
    std::array<quint8, ftdi::PACKET_SIZE> packet{};
    int pendingCount = 0;  // data bytes of `packet` not yet handed to a caller
    int pendingData = 0;   // index in `packet` of the first of them
};
