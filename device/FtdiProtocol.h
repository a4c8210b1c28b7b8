#pragma once

#include <QtGlobal>

// The USB framing and vendor requests of an FTDI-style serial function, as the
// generation-3 probe presents its byte stream. Shared by the link and the emulated chip.
namespace ftdi {

// Every bulk IN packet: two modem-status bytes, then up to 62 data bytes.
constexpr int PACKET_SIZE = 64;
constexpr int MODEM_STATUS_BYTES = 2;
constexpr int PACKET_DATA_BYTES = PACKET_SIZE - MODEM_STATUS_BYTES;
static_assert(PACKET_DATA_BYTES == 62);

// Vendor request "reset"; its value selects what is reset.
constexpr quint8 REQUEST_RESET = 0;
constexpr quint16 RESET_CHIP = 0;  // both buffers
constexpr quint16 PURGE_RX = 1;    // the receive buffer (data on its way to the host)
constexpr quint16 PURGE_TX = 2;    // the transmit buffer (data from the host)

// Vendor request "set latency timer"; its value is the period in milliseconds (1 to 255).
constexpr quint8 REQUEST_SET_LATENCY_TIMER = 9;
constexpr quint16 LATENCY_TIMER_MS = 1;           // what the link sets when it opens
constexpr quint16 DEFAULT_LATENCY_TIMER_MS = 16;  // the chip's value after power-up

// The index of every request the link sends: the chip's first (only) port.
constexpr quint16 PORT_INDEX = 1;

// The flag of the pipe-reset request that the link sends when it opens.
constexpr quint8 PIPE_RESET_FLAG = 0;

}  // namespace ftdi
