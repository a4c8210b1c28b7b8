#include "gen3/LoaderCommands.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/HDataLink.h"
#include "gen3/Crc32.h"
#include "gen3/LoaderFrames.h"

#include <QtEndian>

#include <array>
#include <limits>
#include <span>

namespace {

using StatusReply = std::array<quint8, STATUS_REPLY_SIZE>;

StatusReply receiveStatus(HDataLink& link) {
    StatusReply reply{};
    receiveBytes(link, reply.data(), int(reply.size()));
    return reply;
}

template <std::size_t N>
void sendFrame(HDataLink& link, const std::array<quint8, N>& frame) {
    sendBytes(link, frame.data(), int(frame.size()));
}

// The tag is examined before the status, so a wrong tag wins over status 0.
void checkStatusReply(const StatusReply& reply, quint8 commandTag, const char* tagMessage,
                      const char* failureMessage) {
    if (reply[REPLY_OFFSET_TAG] != replyTag(commandTag)) {
        throw HException(tagMessage);
    }
    if (reply[STATUS_REPLY_OFFSET_STATUS] == STATUS_FAILURE) {
        throw HException(failureMessage);
    }
}

// A payload that one link write cannot carry is refused before anything goes out.
void checkPayloadCount(quint32 count, const char* message) {
    if (count > quint32(std::numeric_limits<int>::max())) {
        throw HException(message);
    }
}

}  // namespace

void sendBytes(HDataLink& link, const void* bytes, int count) {
    if (link.write(bytes, count) != count) {
        throw HException("write timed out");
    }
}

void receiveBytes(HDataLink& link, void* buffer, int count) {
    if (link.read(buffer, count) != count) {
        throw HException("read timed out");
    }
}

void connectLoader(HDataLink& link) {
    const ShortFrame frame = shortFrame(TAG_CONNECT);
    int busyReplies = 0;
    for (;;) {
        link.purge();
        sendFrame(link, frame);
        const StatusReply reply = receiveStatus(link);
        checkStatusReply(reply, TAG_CONNECT, "connect failed, unexpected tag returned",
                         "connect failed");
        if (reply[STATUS_REPLY_OFFSET_STATUS] != STATUS_BUSY) {
            return;
        }
        if (++busyReplies == CONNECT_MAX_BUSY_REPLIES) {
            throw HException("connect failed");
        }
        sleepMs(CONNECT_BUSY_PAUSE_MS);
    }
}

void disconnectLoader(HDataLink& link) {
    sendFrame(link, shortFrame(TAG_DISCONNECT));
    const StatusReply reply = receiveStatus(link);
    // The loader's buffers are cleared whatever it answered.
    link.purge();
    checkStatusReply(reply, TAG_DISCONNECT, "disconnect failed, unexpected tag returned",
                     "disconnect failed");
}

void eraseMemory(HDataLink& link, quint32 address, quint32 count) {
    sendFrame(link, rangedFrame(TAG_MEMORY_ERASE, address, count));
    checkStatusReply(receiveStatus(link), TAG_MEMORY_ERASE,
                     "memory erase failed, unexpected tag returned", "memory erase failed");
}

void writeMemory(HDataLink& link, quint32 address, quint32 count, const quint8* data) {
    checkPayloadCount(count, "memory write failed, range too large for one write");
    sendFrame(link, rangedFrame(TAG_MEMORY_WRITE, address, count));
    sendBytes(link, data, int(count));
    checkStatusReply(receiveStatus(link), TAG_MEMORY_WRITE,
                     "memory write failed, unexpected tag returned", "memory write failed");
}

bool checkMemoryCrc(HDataLink& link, quint32 address, quint32 count, const quint8* data) {
    sendFrame(link, rangedFrame(TAG_MEMORY_CRC, address, count));
    const quint32 hostCrc = computeCrc32(data, count);
    std::array<quint8, CRC_REPLY_SIZE> reply{};
    receiveBytes(link, reply.data(), int(reply.size()));
    return qFromLittleEndian<quint32>(reply.data() + CRC_REPLY_OFFSET_CRC) == hostCrc;
}

LoaderInfo getLoaderInfo(HDataLink& link) {
    sendFrame(link, shortFrame(TAG_GET_LOADER_INFO));
    std::array<quint8, LOADER_INFO_REPLY_SIZE> reply{};
    receiveBytes(link, reply.data(), int(reply.size()));
    if (reply[REPLY_OFFSET_TAG] != replyTag(TAG_GET_LOADER_INFO)) {
        throw HException("get loader info failed, unexpected tag returned");
    }
    return LoaderInfo::decode(std::span<const quint8, LOADER_INFO_REPLY_SIZE>(reply)
                                  .subspan<LOADER_INFO_REPLY_OFFSET_RECORD, LoaderInfo::SIZE>());
}
