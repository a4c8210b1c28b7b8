#pragma once

#include "gen3/LoaderInfo.h"

#include <QByteArrayView>
#include <QtGlobal>

#include <array>
#include <optional>

// Frames of the generation-3 loader's tagged command protocol. A command is its tag, the
// command magic and, for ranged commands, a start address and a byte count; a reply
// begins with the complement of the command's tag. Integers are little-endian.

// The marker that the loader requires behind every command tag.
constexpr std::array<quint8, 4> COMMAND_MAGIC = {0x5A, 0xC3, 0x17, 0x9E};

// Largest range of one erase, write or CRC command: an install goes in chunks of this
// size, and the loader's working times are per chunk.
constexpr int TRANSFER_CHUNK = 0x2000;

// Command tags; no other tags are sent.
constexpr quint8 TAG_CONNECT = 0x01;
constexpr quint8 TAG_DISCONNECT = 0x02;
constexpr quint8 TAG_MEMORY_WRITE = 0x03;
constexpr quint8 TAG_MEMORY_ERASE = 0x05;
constexpr quint8 TAG_MEMORY_CRC = 0x07;
constexpr quint8 TAG_GET_LOADER_INFO = 0x08;

// The tag of the loader's reply to a command.
constexpr quint8 replyTag(quint8 commandTag) {
    return static_cast<quint8>(~commandTag);
}

// Command frame layout.
constexpr int FRAME_OFFSET_TAG = 0;
constexpr int FRAME_OFFSET_MAGIC = 1;
constexpr int FRAME_OFFSET_ADDRESS = FRAME_OFFSET_MAGIC + int(COMMAND_MAGIC.size());
constexpr int FRAME_OFFSET_COUNT = FRAME_OFFSET_ADDRESS + int(sizeof(quint32));
constexpr int SHORT_FRAME_SIZE = FRAME_OFFSET_ADDRESS;
constexpr int RANGED_FRAME_SIZE = FRAME_OFFSET_COUNT + int(sizeof(quint32));
static_assert(SHORT_FRAME_SIZE == 5 && RANGED_FRAME_SIZE == 13);

// Status replies: tag, then a status byte (0 failure, anything else success; connect
// answers busy with 0xFF).
constexpr int REPLY_OFFSET_TAG = 0;
constexpr int STATUS_REPLY_OFFSET_STATUS = 1;
constexpr int STATUS_REPLY_SIZE = 2;
constexpr quint8 STATUS_FAILURE = 0x00;
constexpr quint8 STATUS_BUSY = 0xFF;

// The CRC reply: two bytes the host does not examine, then the CRC of the range.
constexpr int CRC_REPLY_OFFSET_CRC = 2;
constexpr int CRC_REPLY_SIZE = CRC_REPLY_OFFSET_CRC + int(sizeof(quint32));
static_assert(CRC_REPLY_SIZE == 6);

// The get-loader-info reply: tag, then a LoaderInfo record, no status byte.
constexpr int LOADER_INFO_REPLY_OFFSET_RECORD = REPLY_OFFSET_TAG + 1;
constexpr int LOADER_INFO_REPLY_SIZE = LOADER_INFO_REPLY_OFFSET_RECORD + LoaderInfo::SIZE;
static_assert(LOADER_INFO_REPLY_SIZE == 77);

using ShortFrame = std::array<quint8, SHORT_FRAME_SIZE>;
using RangedFrame = std::array<quint8, RANGED_FRAME_SIZE>;

ShortFrame shortFrame(quint8 tag);
RangedFrame rangedFrame(quint8 tag, quint32 address, quint32 count);

// A command frame as the loader reads it.
struct CommandFrame {
    quint8 tag = 0;
    bool magicOk = false;
    quint32 address = 0;  // ranged frames only
    quint32 count = 0;    // ranged frames only

    friend bool operator==(const CommandFrame&, const CommandFrame&) = default;
};

// Whether a command with this tag carries a start address and a count.
bool isRangedCommand(quint8 tag);
// Frame size of the command whose tag is `tag` (short unless ranged).
int commandFrameSize(quint8 tag);
// Decodes the frame at the start of `bytes`; nothing when `bytes` is empty or shorter than
// the frame its tag calls for.
std::optional<CommandFrame> decodeCommandFrame(QByteArrayView bytes);
