#include "gen2/KV2Protocol.h"

#include "app/HException.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace kv2 {

namespace {

constexpr qsizetype ADDRESS_SPACE_SIZE = 0x10000;

void putAddress(Packet& packet, quint16 address) {
    packet[ADDRESS_HIGH_OFFSET] = quint8(address >> 8);
    packet[ADDRESS_LOW_OFFSET] = quint8(address & 0xFF);
}

}  // namespace

Packet commandPacket(Command command) {
    Packet packet{};
    packet[COMMAND_OFFSET] = quint8(command);
    return packet;
}

Packet blockPacket(Command command, quint16 address, QByteArrayView block) {
    if (block.size() > MAX_BLOCK_SIZE)
        throw HException("Block of " + std::to_string(block.size()) +
                         " bytes does not fit one packet");
    Packet packet = commandPacket(command);
    putAddress(packet, address);
    packet[DATA_LENGTH_OFFSET] = quint8(block.size());
    if (!block.isEmpty())
        std::memcpy(packet.data() + DATA_OFFSET, block.data(), size_t(block.size()));
    return packet;
}

QList<Block> splitIntoBlocks(quint16 address, qsizetype count) {
    if (count < 0 || count > ADDRESS_SPACE_SIZE - address)
        throw HException("Transfer of " + std::to_string(count) +
                         " bytes passes the end of the address space");
    QList<Block> blocks((count + MAX_BLOCK_SIZE - 1) / MAX_BLOCK_SIZE);
    Block* block = blocks.data();
    for (qsizetype offset = 0; offset < count; offset += MAX_BLOCK_SIZE) {
        const int size = int(std::min<qsizetype>(MAX_BLOCK_SIZE, count - offset));
        *block++ = Block{quint16(address + offset), offset, size};
    }
    return blocks;
}

bool verifyMatched(QByteArrayView reply) {
    if (reply.size() <= VERIFY_STATUS_OFFSET)
        throw HException("Verify reply too short");
    return quint8(reply[VERIFY_STATUS_OFFSET]) == VERIFY_MATCH;
}

Packet verifyReply(bool matched) {
    constexpr quint8 MISMATCH = 0x01;
    Packet packet{};
    packet[VERIFY_STATUS_OFFSET] = matched ? VERIFY_MATCH : MISMATCH;
    return packet;
}

std::optional<Request> parseRequest(QByteArrayView packet) {
    if (packet.size() != PACKET_SIZE)
        return std::nullopt;
    const int size = quint8(packet[DATA_LENGTH_OFFSET]);
    if (size > MAX_BLOCK_SIZE)
        return std::nullopt;
    Request request;
    request.code = quint8(packet[COMMAND_OFFSET]);
    request.address =
        quint16((quint8(packet[ADDRESS_HIGH_OFFSET]) << 8) | quint8(packet[ADDRESS_LOW_OFFSET]));
    request.data = packet.sliced(DATA_OFFSET, size);
    return request;
}

bool isCommand(quint8 code) {
    return code >= FIRST_COMMAND_CODE && code <= LAST_COMMAND_CODE;
}

}  // namespace kv2
