#include "gen3/LoaderFrames.h"

#include <QtEndian>

#include <algorithm>

namespace {

template <std::size_t N>
void putHead(std::array<quint8, N>& frame, quint8 tag) {
    frame[FRAME_OFFSET_TAG] = tag;
    std::copy(COMMAND_MAGIC.begin(), COMMAND_MAGIC.end(), frame.begin() + FRAME_OFFSET_MAGIC);
}

}  // namespace

ShortFrame shortFrame(quint8 tag) {
    ShortFrame frame{};
    putHead(frame, tag);
    return frame;
}

RangedFrame rangedFrame(quint8 tag, quint32 address, quint32 count) {
    RangedFrame frame{};
    putHead(frame, tag);
    qToLittleEndian<quint32>(address, frame.data() + FRAME_OFFSET_ADDRESS);
    qToLittleEndian<quint32>(count, frame.data() + FRAME_OFFSET_COUNT);
    return frame;
}

bool isRangedCommand(quint8 tag) {
    return tag == TAG_MEMORY_WRITE || tag == TAG_MEMORY_ERASE || tag == TAG_MEMORY_CRC;
}

int commandFrameSize(quint8 tag) {
    return isRangedCommand(tag) ? RANGED_FRAME_SIZE : SHORT_FRAME_SIZE;
}

std::optional<CommandFrame> decodeCommandFrame(QByteArrayView bytes) {
    if (bytes.isEmpty()) {
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const quint8*>(bytes.data());
    CommandFrame frame;
    frame.tag = data[FRAME_OFFSET_TAG];
    if (bytes.size() < commandFrameSize(frame.tag)) {
        return std::nullopt;
    }
    frame.magicOk =
        std::equal(COMMAND_MAGIC.begin(), COMMAND_MAGIC.end(), data + FRAME_OFFSET_MAGIC);
    if (isRangedCommand(frame.tag)) {
        frame.address = qFromLittleEndian<quint32>(data + FRAME_OFFSET_ADDRESS);
        frame.count = qFromLittleEndian<quint32>(data + FRAME_OFFSET_COUNT);
    }
    return frame;
}
