#include "emu/Gen2Probe.h"

#include "app/HException.h"
#include "device/UsbIds.h"
#include "emu/EmulatedDevice.h"
#include "emu/RawPacketPipe.h"

#include <QStringEncoder>

#include <algorithm>

namespace {

// The serial number that an application zone carries, if it carries one.
std::optional<QString> serialIn(QByteArrayView zone) {
    try {
        const QString serial = kv2::readSerialField(zone, kv2::locateSerialField(zone));
        if (!serial.isEmpty())
            return serial;
    } catch (const HException&) {
        // No field, or a malformed one: the firmware keeps the serial number it had.
    }
    return std::nullopt;
}

}  // namespace

quint16 productIdOf(Gen2Probe::Mode mode) {
    return mode == Gen2Probe::Mode::Application ? PRODUCT_ID_GENERATION2
                                                : PRODUCT_ID_GENERATION2_BOOTLOADER;
}

Gen2Probe::Gen2Probe(const KV2VersionRecord& application, const QString& serialNumber) {
    const QByteArray record = application.encode();
    std::copy(record.begin(), record.end(), memory.begin() + RECORD_ADDRESS);

    QByteArray serial = kv2::bytesOf(kv2::SERIAL_MARKER).toByteArray();
    const QString characters = serialNumber.left(126);
    serial.append(char(kv2::SERIAL_BYTES_PER_CHARACTER * (characters.size() + 1)));
    serial.append(char(kv2::STRING_DESCRIPTOR_TYPE));
    serial.append(QStringEncoder(QStringEncoder::Utf16LE).encode(characters));
    std::copy(serial.begin(), serial.end(), memory.begin() + SERIAL_MARKER_ADDRESS);
    static_assert(SERIAL_MARKER_ADDRESS + 4 + 2 + 2 * 126 <= FLASH_SIZE);
    static_assert(RECORD_ADDRESS + KV2VersionRecord::SIZE <= SERIAL_MARKER_ADDRESS);

    current = Mode::Application;
    running = application.applicationInfo();
}

ProbeInfo Gen2Probe::info() const {
    return current == Mode::Application ? running : ProbeInfo{.kind = ProbeInfo::KIND_BOOTLOADER};
}

quint32 Gen2Probe::busyForMs(quint32 nowMs) const {
    if (!busyUntilMs)
        return 0;
    const auto left = static_cast<qint32>(*busyUntilMs - nowMs);  // the tick wraps around
    return left > 0 ? quint32(left) : 0;
}

void Gen2Probe::received(const QByteArray& packet, quint32 nowMs, PacketPort& host) {
    const std::optional<kv2::Request> request = kv2::parseRequest(packet);
    if (!request)
        return;  // not a packet of this protocol
    if (current == Mode::Application)
        application(*request, host);
    else
        bootloader(*request, nowMs, host);
}

void Gen2Probe::application(const kv2::Request& request, PacketPort& host) {
    if (answersBeforeRestart) {
        // A restart is pending: the application keeps running until it has answered the
        // ReadInfo requests it was told to, and restarts at the packet after them.
        if (*answersBeforeRestart == 0) {
            answersBeforeRestart.reset();
            restartInto(Mode::Bootloader, host, std::nullopt);
            return;
        }
        if (request.is(kv2::Command::ReadInfo))
            --*answersBeforeRestart;
    }
    if (request.is(kv2::Command::ReadInfo)) {
        reply(info().encode(), READ_INFO_MS, host);
    } else if (request.is(kv2::Command::EnterBootloader) && !answersBeforeRestart) {
        if (keepAnswering > 0) {
            answersBeforeRestart = keepAnswering;
            keepAnswering = 0;
            return;
        }
        restartInto(Mode::Bootloader, host, std::nullopt);
    }
    // The application knows no other command.
}

void Gen2Probe::bootloader(const kv2::Request& request, quint32 nowMs, PacketPort& host) {
    switch (static_cast<kv2::Command>(request.code)) {
        case kv2::Command::ReadInfo:
            reply(info().encode(), READ_INFO_MS, host);
            break;
        case kv2::Command::BeginDownload:
            std::fill(memory.begin() + kv2::APPLICATION_ZONE_START, memory.end(), ERASED);
            receiving = true;
            blocksProgrammed = 0;
            break;
        case kv2::Command::Program:
            if (receiving)
                program(request, nowMs);
            break;
        case kv2::Command::Verify: {
            kv2::Packet answer = kv2::verifyReply(matches(request));
            if (reuseBuffer)
                std::copy(lastReply.begin() + 1, lastReply.end(), answer.begin() + 1);
            reply(answer, VERIFY_MS, host);
            break;
        }
        case kv2::Command::EndDownload:
            endDownload(host);
            break;
        case kv2::Command::EnterBootloader:
            if (!ignoresEnter)
                restartInto(Mode::Bootloader, host, std::nullopt);
            break;
        default:
            break;  // not a command of this protocol
    }
}

void Gen2Probe::program(const kv2::Request& request, quint32 nowMs) {
    const bool corrupt = blocksProgrammed == corruptIndex;
    if (corrupt)
        corruptIndex = -1;
    ++blocksProgrammed;
    for (qsizetype i = 0; i < request.data.size(); ++i) {
        const int address = request.address + int(i);
        // The bootloader never writes below the application zone or past the flash.
        if (address < kv2::APPLICATION_ZONE_START || address >= FLASH_SIZE)
            continue;
        const char byte = request.data[i];
        memory[address] = (corrupt && i == 0) ? char(~byte) : byte;
    }
    const quint32 from = busyForMs(nowMs) > 0 ? *busyUntilMs : nowMs;
    busyUntilMs = from + PROGRAM_MS;
}

bool Gen2Probe::matches(const kv2::Request& request) const {
    // Past the end of the flash mid() comes short, and nothing there matches.
    return request.data == QByteArrayView(memory.mid(request.address, request.data.size()));
}

void Gen2Probe::reply(const kv2::Packet& packet, quint32 delayMs, PacketPort& host) {
    if (withheld != 0) {
        if (withheld > 0)
            --withheld;
        return;
    }
    lastReply = packet;
    host.sendToHost(kv2::bytesOf(packet).toByteArray(), delayMs);
    if (twiceAt.removeAll(++repliesSent) > 0)
        host.sendToHost(kv2::bytesOf(packet).toByteArray(), delayMs);
}

void Gen2Probe::answerTwice(int n) {
    if (n > 0)
        twiceAt.append(repliesSent + n);
    else
        twiceAt.clear();
}

void Gen2Probe::endDownload(PacketPort& host) {
    const QByteArray zone = applicationZone();
    const std::optional<KV2VersionRecord> record = KV2VersionRecord::find(zone);
    if (!record) {
        // Nothing that would run: the bootloader starts again.
        restartInto(Mode::Bootloader, host, std::nullopt);
        return;
    }
    running = record->applicationInfo();
    restartInto(Mode::Application, host, serialIn(zone));
}

void Gen2Probe::restartInto(Mode mode, PacketPort& host, const std::optional<QString>& serial) {
    current = mode;
    receiving = false;
    busyUntilMs.reset();
    quint32 absentMs = rebootMs;
    if (mode == Mode::Bootloader && neverReturn) {
        absentMs = NEVER_MS;
        neverReturn = false;
    }
    host.reenumerate(productIdOf(mode), absentMs, serial);
}

std::shared_ptr<EmulatedDevice> makeGen2Device(std::unique_ptr<Gen2Probe> probe,
                                               const QString& serialNumber) {
    const quint16 productId = productIdOf(probe->mode());
    return std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, productId, serialNumber,
                                            std::make_unique<RawPacketPipe>(std::move(probe)));
}

Gen2Probe* gen2ProbeOf(const EmulatedDevice& device) {
    auto* pipe = dynamic_cast<RawPacketPipe*>(device.function());
    return pipe != nullptr ? dynamic_cast<Gen2Probe*>(&pipe->function()) : nullptr;
}
