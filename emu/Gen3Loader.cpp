#include "emu/Gen3Loader.h"

#include "emu/TransportFaults.h"
#include "gen3/Crc32.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderFrames.h"

#include <QtEndian>

#include <algorithm>
#include <functional>
#include <iterator>

namespace {

constexpr quint8 ERASED_BYTE = 0xFF;
constexpr quint8 STATUS_SUCCESS = 0x01;

std::optional<LoaderCommand> commandOf(quint8 tag) {
    switch (tag) {
        case TAG_CONNECT:
            return LoaderCommand::Connect;
        case TAG_DISCONNECT:
            return LoaderCommand::Disconnect;
        case TAG_MEMORY_WRITE:
            return LoaderCommand::Write;
        case TAG_MEMORY_ERASE:
            return LoaderCommand::Erase;
        case TAG_MEMORY_CRC:
            return LoaderCommand::Crc;
        case TAG_GET_LOADER_INFO:
            return LoaderCommand::Info;
        default:
            return std::nullopt;
    }
}

// Whether the bytes present from `pos` (fewer than a whole frame) could still begin a
// frame with the command magic.
bool couldBeFrame(const QByteArray& input, qsizetype pos) {
    return QByteArrayView(COMMAND_MAGIC)
        .startsWith(input.mid(pos + FRAME_OFFSET_MAGIC, qsizetype(COMMAND_MAGIC.size())));
}

}  // namespace

Gen3Loader::Gen3Loader(const Settings& configuration) : settings(configuration) {
    settings.memorySize = std::clamp(settings.memorySize, MIN_MEMORY_SIZE, MAX_MEMORY_SIZE);
    busyLeft = settings.busyReplies;
}

const QByteArray& Gen3Loader::memory() const {
    if (flash.isEmpty()) {
        flash = QByteArray(memorySize(), char(ERASED_BYTE));
        std::copy(factoryImage.begin(), factoryImage.end(), flash.begin());
    }
    return flash;
}

bool Gen3Loader::loadImage(QByteArrayView image) {
    if (image.size() > memorySize()) {
        return false;
    }
    if (flash.isEmpty() && image.size() >= factoryImage.size()) {
        factoryImage = image.toByteArray();
    } else {
        memory();
        std::copy(image.begin(), image.end(), flash.begin());
    }
    return true;
}

LoaderInfo Gen3Loader::loaderInfo() const {
    LoaderInfo info;
    info.loaderVersionMajor = settings.loaderVersionMajor;
    info.loaderVersionMinor = settings.loaderVersionMinor;
    // Only the header is read, without allocating the memory for it.
    const QByteArray head =
        flash.isEmpty() ? (factoryImage + QByteArray(FirmwareImageHeader::SIZE, char(ERASED_BYTE)))
                        : flash;
    info.imageHeader = *FirmwareImageHeader::fromBytes(head);
    info.imageState = info.imageHeader.hasImageMagic() ? IMAGE_STATE_INSTALLED : 0;
    return info;
}

QList<Gen3Loader::Command> Gen3Loader::commands(LoaderCommand command) const {
    QList<Command> selected;
    std::copy_if(log.begin(), log.end(), std::back_inserter(selected),
                 [command](const Command& entry) { return entry.command == command; });
    return selected;
}

void Gen3Loader::received(const QByteArray& bytes, quint32 nowMs, ByteStreamPort& host) {
    input += bytes;
    parse(nowMs, host);
}

void Gen3Loader::parse(quint32 nowMs, ByteStreamPort& host) {
    qsizetype pos = 0;
    while (pos < input.size()) {
        if (pendingWrite) {
            pos = takeWriteData(pos, nowMs, host);
            continue;
        }
        const std::optional<LoaderCommand> command = commandOf(quint8(input[pos]));
        const qsizetype available = input.size() - pos;
        if (command && available < commandFrameSize(quint8(input[pos]))) {
            if (couldBeFrame(input, pos)) {
                break;  // wait for the rest of the frame
            }
        } else if (command) {
            const std::optional<CommandFrame> frame =
                decodeCommandFrame(QByteArrayView(input).sliced(pos));
            if (frame && frame->magicOk) {
                pos += commandFrameSize(frame->tag);
                execute(*frame, nowMs, host);
                continue;
            }
        }
        // Not the start of a frame: drop the byte and look again from the next one.
        ++ignored;
        ++pos;
    }
    input.remove(0, pos);
}

qsizetype Gen3Loader::takeWriteData(qsizetype pos, quint32 nowMs, ByteStreamPort& host) {
    PendingWrite& write = *pendingWrite;
    const quint32 take =
        quint32(std::min<qint64>(qint64(write.count - write.received), input.size() - pos));
    if (write.accepted) {
        // Flash programming clears bits only.
        memory();
        char* target = flash.data() + (write.address - IMAGE_BASE_ADDRESS) + write.received;
        const char* source = input.constData() + pos;
        std::transform(target, target + take, source, target, std::bit_and<char>());
    }
    write.received += take;
    if (write.received == write.count) {
        log << Command{LoaderCommand::Write, write.address, write.count, nowMs};
        reply(statusReply(TAG_MEMORY_WRITE, write.accepted ? STATUS_SUCCESS : STATUS_FAILURE),
              settings.timing.replyMs + scaled(write.count, settings.timing.writeMsPerChunk),
              write.fault, host);
        pendingWrite.reset();
    }
    return pos + take;
}

std::optional<Gen3LoaderFault> Gen3Loader::faultFor(LoaderCommand command) {
    const int occurrence = ++seen[size_t(command)];
    for (const Gen3LoaderFault& fault : faults) {
        if (fault.command == command && (fault.occurrence == 0 || fault.occurrence == occurrence)) {
            return fault;
        }
    }
    return std::nullopt;
}

bool Gen3Loader::inMemory(quint32 address, quint32 count) const {
    return address >= IMAGE_BASE_ADDRESS &&
           qint64(address - IMAGE_BASE_ADDRESS) + count <= memorySize();
}

quint32 Gen3Loader::scaled(quint32 count, quint32 msPerChunk) {
    return quint32((quint64(count) * msPerChunk + TRANSFER_CHUNK - 1) / TRANSFER_CHUNK);
}

QByteArray Gen3Loader::statusReply(quint8 commandTag, quint8 status) const {
    QByteArray bytes(STATUS_REPLY_SIZE, '\0');
    bytes[REPLY_OFFSET_TAG] = char(replyTag(commandTag));
    bytes[STATUS_REPLY_OFFSET_STATUS] = char(status);
    return bytes;
}

void Gen3Loader::reply(QByteArray bytes, quint32 delayMs,
                       const std::optional<Gen3LoaderFault>& fault, ByteStreamPort& host) const {
    if (fault) {
        switch (fault->kind) {
            case Gen3LoaderFault::WrongTag:
                bytes[REPLY_OFFSET_TAG] = char(~quint8(bytes[REPLY_OFFSET_TAG]));
                break;
            case Gen3LoaderFault::ShortReply:
                bytes.chop(1);
                break;
            case Gen3LoaderFault::NoReply:
                return;
            case Gen3LoaderFault::Failure:  // carried out by the command itself
            case Gen3LoaderFault::CrcMismatch:
            case Gen3LoaderFault::Unplug:
                break;
        }
    }
    host.sendToHost(bytes, delayMs);
}

void Gen3Loader::execute(const CommandFrame& frame, quint32 nowMs, ByteStreamPort& host) {
    const LoaderCommand command = *commandOf(frame.tag);
    const std::optional<Gen3LoaderFault> fault = faultFor(command);
    const bool refused = fault && fault->kind == Gen3LoaderFault::Failure;
    const Timing& timing = settings.timing;
    const bool rangeOk = isConnected && !refused && inMemory(frame.address, frame.count);

    if (command != LoaderCommand::Write) {
        log << Command{command, frame.address, frame.count, nowMs};
    }
    switch (command) {
        case LoaderCommand::Connect: {
            quint8 status = STATUS_SUCCESS;
            if (refused) {
                status = STATUS_FAILURE;
            } else if (busyLeft > 0) {
                --busyLeft;
                status = STATUS_BUSY;
            } else {
                isConnected = true;
            }
            reply(statusReply(frame.tag, status), timing.replyMs, fault, host);
            break;
        }
        case LoaderCommand::Disconnect:
            isConnected = isConnected && refused;
            reply(statusReply(frame.tag, refused ? STATUS_FAILURE : STATUS_SUCCESS), timing.replyMs,
                  fault, host);
            break;
        case LoaderCommand::Erase:
            if (rangeOk) {
                memory();
                std::fill_n(flash.begin() + (frame.address - IMAGE_BASE_ADDRESS), frame.count,
                            char(ERASED_BYTE));
            }
            reply(statusReply(frame.tag, rangeOk ? STATUS_SUCCESS : STATUS_FAILURE),
                  timing.replyMs + (rangeOk ? scaled(frame.count, timing.eraseMsPerChunk) : 0),
                  fault, host);
            break;
        case LoaderCommand::Write:
            pendingWrite = PendingWrite{frame.address, frame.count, 0, rangeOk, fault};
            if (fault && fault->kind == Gen3LoaderFault::Unplug && transportFaults != nullptr) {
                transportFaults->unplugAfter(TransportFaults::Direction::Out, frame.count / 2);
            }
            if (frame.count == 0) {
                takeWriteData(0, nowMs, host);
            }
            break;
        case LoaderCommand::Crc: {
            QByteArray bytes(CRC_REPLY_SIZE, '\0');
            bytes[REPLY_OFFSET_TAG] = char(replyTag(frame.tag));
            bytes[STATUS_REPLY_OFFSET_STATUS] = char(rangeOk ? STATUS_SUCCESS : STATUS_FAILURE);
            quint32 crc = 0;
            if (rangeOk) {
                crc = computeCrc32(memory().constData() + (frame.address - IMAGE_BASE_ADDRESS),
                                   frame.count);
            }
            if (fault && fault->kind == Gen3LoaderFault::CrcMismatch) {
                crc = ~crc;
            }
            qToLittleEndian<quint32>(crc, bytes.data() + CRC_REPLY_OFFSET_CRC);
            reply(bytes, timing.replyMs + (rangeOk ? scaled(frame.count, timing.crcMsPerChunk) : 0),
                  fault, host);
            break;
        }
        case LoaderCommand::Info: {
            QByteArray bytes(LOADER_INFO_REPLY_SIZE, '\0');
            bytes[REPLY_OFFSET_TAG] = char(replyTag(frame.tag));
            loaderInfo().encode(std::span<quint8, LoaderInfo::SIZE>(
                reinterpret_cast<quint8*>(bytes.data()) + LOADER_INFO_REPLY_OFFSET_RECORD,
                LoaderInfo::SIZE));
            reply(bytes, timing.replyMs, fault, host);
            break;
        }
    }
}
