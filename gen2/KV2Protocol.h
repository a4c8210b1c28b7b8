#pragma once

#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

#include <array>
#include <optional>

// The generation-2 command packets, spoken by the probe's application firmware and by its
// bootloader over the raw bulk pipes. Every transfer in either direction is one packet of
// exactly 64 bytes:
//
//   offset 0      command code
//   offset 1, 2   0x00
//   offset 3, 4   target address, high byte first
//   offset 5      data length n, 0 to 32
//   offset 6      n data bytes, then zero fill to the end of the packet
//
// Commands without address or data carry zeros in bytes 1 to 5. Only ReadInfo and Verify
// are answered; the host never reads a reply to the others.
namespace kv2 {

enum class Command : quint8 {
    BeginDownload = 0x80,    // bootloader: a download starts
    Program = 0x81,          // bootloader: write a block at an address
    EndDownload = 0x82,      // bootloader: the download is complete
    EnterBootloader = 0x83,  // application: restart into the bootloader
    ReadInfo = 0x84,         // either: answer with the probe information
    Verify = 0x85,           // bootloader: compare a block, answer with a status byte
};
constexpr quint8 FIRST_COMMAND_CODE = quint8(Command::BeginDownload);
constexpr quint8 LAST_COMMAND_CODE = quint8(Command::Verify);

constexpr int PACKET_SIZE = 64;
constexpr int COMMAND_OFFSET = 0;
constexpr int ADDRESS_HIGH_OFFSET = 3;
constexpr int ADDRESS_LOW_OFFSET = 4;
constexpr int DATA_LENGTH_OFFSET = 5;
constexpr int DATA_OFFSET = 6;
// Data bytes carried by one Program or Verify packet at most.
constexpr int MAX_BLOCK_SIZE = 32;
static_assert(DATA_OFFSET + MAX_BLOCK_SIZE <= PACKET_SIZE);
static_assert(ADDRESS_LOW_OFFSET == ADDRESS_HIGH_OFFSET + 1);

// Reply to Verify: the status byte, zero when the probe's memory holds the same bytes.
constexpr int VERIFY_STATUS_OFFSET = 0;
constexpr quint8 VERIFY_MATCH = 0x00;
// Reply to ReadInfo: the probe information (see ProbeInfo) at the start of the packet.
constexpr int PROBE_INFO_OFFSET = 0;

// Waiting for the bootloader after EnterBootloader: this many attempts, each after a
// pause of this many milliseconds.
constexpr int BOOTLOADER_ATTEMPTS = 60;
constexpr int BOOTLOADER_ATTEMPT_PAUSE_MS = 1000;

using Packet = std::array<quint8, PACKET_SIZE>;

inline QByteArrayView bytesOf(const Packet& packet) {
    return QByteArrayView(packet.data(), PACKET_SIZE);
}

// A packet without address or data: BeginDownload, EndDownload, EnterBootloader, ReadInfo.
Packet commandPacket(Command command);
// A packet carrying one block: Program or Verify. Throws HException when the block holds
// more than MAX_BLOCK_SIZE bytes.
Packet blockPacket(Command command, quint16 address, QByteArrayView block);

// One block of a transfer: its target address, where its bytes start in the data, and
// how many there are (1 to MAX_BLOCK_SIZE).
struct Block {
    quint16 address = 0;
    qsizetype offset = 0;
    int size = 0;

    friend bool operator==(const Block&, const Block&) = default;
};
// Splits count bytes destined for address into blocks of MAX_BLOCK_SIZE bytes and a
// shorter last one. Throws HException when the range would pass the end of the 16-bit
// address space.
QList<Block> splitIntoBlocks(quint16 address, qsizetype count);

// Whether a Verify reply reports a match. Throws HException on a reply too short to
// carry the status byte.
bool verifyMatched(QByteArrayView reply);
// The reply the probe sends to Verify (for the emulated probe).
Packet verifyReply(bool matched);

// A packet as the probe receives it. `data` views the bytes inside the packet given to
// parseRequest and is valid while those bytes are.
struct Request {
    quint8 code = 0;
    quint16 address = 0;
    QByteArrayView data;

    bool is(Command command) const { return code == quint8(command); }
};
// Decodes a received packet; nothing when it is not exactly PACKET_SIZE bytes or its data
// length exceeds MAX_BLOCK_SIZE. Unknown command codes are decoded too (see isCommand).
std::optional<Request> parseRequest(QByteArrayView packet);
bool isCommand(quint8 code);

}  // namespace kv2
