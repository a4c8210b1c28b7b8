#include "gen2/KorvaneBootloader.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/PipeDataLink.h"
#include "device/UsbDiscovery.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"

#include <algorithm>
#include <string>

namespace {

constexpr const char* WAITING_TEXT = "Waiting for bootloader to start";
constexpr const char* PROGRAMMING_TEXT = "Programming";
constexpr const char* VERIFYING_TEXT = "Verifying";
constexpr const char* UNITS = "Bytes";

void send(PipeDataLink& link, const kv2::Packet& packet) {
    // The host never reads a reply to a packet it could not send whole.
    if (link.write(packet.data(), kv2::PACKET_SIZE) != kv2::PACKET_SIZE)
        throw HException("write operation failed");
}

kv2::Packet receive(PipeDataLink& link) {
    kv2::Packet reply{};
    // The link gathers the whole packet or throws; a short count would be its fault.
    if (link.read(reply.data(), kv2::PACKET_SIZE) != kv2::PACKET_SIZE)
        throw HException(PipeDataLink::READ_TIMED_OUT);
    return reply;
}

// The single attached generation-2 device (application or bootloader).
UsbDeviceInfo singleGeneration2Device() {
    const UsbDeviceList devices = findGeneration2Devices();
    if (devices.isEmpty())
        throw HException("No devices connected");
    if (devices.size() > 1)
        throw HException("Multiple devices connected");
    return devices.first();
}

// One ReadInfo exchange, taking the next reply as its answer.
ProbeInfo askInfo(PipeDataLink& link) {
    send(link, kv2::commandPacket(kv2::Command::ReadInfo));
    return ProbeInfo::decode(kv2::bytesOf(receive(link)));
}

constexpr const char* VERIFY_FAILED = "Application download verify failed";

}  // namespace

KorvaneBootloader::KorvaneBootloader(QObject* parent) : QObject(parent) {}

void KorvaneBootloader::readProbeInfo(PipeDataLink& link, ProbeInfo& info) {
    // A reply left by an earlier read that gave up waiting would be taken for this one's.
    link.discardStaleReplies();
    info = askInfo(link);
}

std::unique_ptr<PipeDataLink> KorvaneBootloader::connectBootloader() {
    return reachBootloader().link;
}

KorvaneBootloader::Connection KorvaneBootloader::reachBootloader() {
    Connection connection;
    connection.link = std::make_unique<PipeDataLink>(singleGeneration2Device());
    PipeDataLink& link = *connection.link;
    link.discardStaleReplies();
    connection.info = askInfo(link);
    if (!connection.info.isBootloader())
        throw HException("Bootloader not running");  // the link closes on the way out
    return connection;
}

void KorvaneBootloader::confirmInStep(const Connection& connection) {
    PipeDataLink& link = *connection.link;
    // The probe answers in order, so a reply read for the wrong request (one left from an
    // earlier exchange, or one the probe sent twice) leaves every later reply to be read
    // that many requests late, and the answers to the last Verify packets still to come.
    // They come at the pace the host has been reading replies: listen for twice the
    // slowest of them.
    const auto listen = [&link] {
        return std::max(PipeDataLink::STALE_REPLY_QUIET_MS,
                        std::min(2 * link.slowestReadMs(), link.timeout()));
    };
    if (link.discardIncoming(listen()) > 0)
        throw HException(VERIFY_FAILED);
    // In step, this ReadInfo reads its own answer, which is the one the bootloader gave at
    // connect; one request late, it would read the last Verify's.
    if (!(askInfo(link) == connection.info))
        throw HException(VERIFY_FAILED);
    // Nor may anything follow its answer: that would be its own, and what it read another's.
    if (link.discardIncoming(listen()) > 0)
        throw HException(VERIFY_FAILED);
}

void KorvaneBootloader::programMemory(PipeDataLink& link, quint16 address, quint16 count,
                                      const quint8* data) {
    const QList<kv2::Block> blocks = kv2::splitIntoBlocks(address, count);
    Q_EMIT progress(0, count, PROGRAMMING_TEXT, UNITS);
    int done = 0;
    for (const kv2::Block& block : blocks) {
        const QByteArrayView bytes(data + block.offset, block.size);
        send(link, kv2::blockPacket(kv2::Command::Program, block.address, bytes));
        done += block.size;
        Q_EMIT progress(done, -1, nullptr, nullptr);
    }
}

bool KorvaneBootloader::verifyMemory(PipeDataLink& link, quint16 address, quint16 count,
                                     const quint8* data) {
    const QList<kv2::Block> blocks = kv2::splitIntoBlocks(address, count);
    Q_EMIT progress(0, count, VERIFYING_TEXT, UNITS);
    int done = 0;
    for (const kv2::Block& block : blocks) {
        const QByteArrayView bytes(data + block.offset, block.size);
        send(link, kv2::blockPacket(kv2::Command::Verify, block.address, bytes));
        if (!kv2::verifyMatched(kv2::bytesOf(receive(link))))
            return false;
        done += block.size;
        Q_EMIT progress(done, -1, nullptr, nullptr);
    }
    return true;
}

void KorvaneBootloader::downloadApplication(KV2FirmwareImage& image, bool patchSerial) {
    // Without an application zone there is nothing to send; refused before the probe is
    // touched.
    if (image.data.size() < kv2::APPLICATION_ZONE_START)
        throw HException("Firmware image is too small (" + std::to_string(image.data.size()) +
                         " bytes): the application zone starts at byte " +
                         std::to_string(kv2::APPLICATION_ZONE_START));

    // The record enumerated now supplies the serial number: the probe's own, whatever it
    // enumerates as once restarted.
    const UsbDeviceInfo device = singleGeneration2Device();
    {
        PipeDataLink link(device);
        send(link, kv2::commandPacket(kv2::Command::EnterBootloader));
    }

    Connection connection;
    Q_EMIT progress(0, kv2::BOOTLOADER_ATTEMPTS, WAITING_TEXT, nullptr);
    int attempts = 0;
    while (!connection.link) {
        sleepMs(kv2::BOOTLOADER_ATTEMPT_PAUSE_MS);
        try {
            connection = reachBootloader();
        } catch (const HException&) {
            // Whatever the cause (absent while restarting, several devices, no answer,
            // still the application), the attempt counts and the wait goes on. A reply an
            // attempt gave up on is owed and dropped by the next one.
            if (attempts + 1 == kv2::BOOTLOADER_ATTEMPTS)
                throw HException("Bootloader restore failed");
        }
        ++attempts;
        Q_EMIT progress(attempts, -1, nullptr, nullptr);
    }
    Q_EMIT progress(kv2::BOOTLOADER_ATTEMPTS, -1, nullptr, nullptr);

    image.checkFitsApplicationZone();
    if (patchSerial)
        image.patchSerialNumber(device.serialNumber());

    PipeDataLink& link = *connection.link;
    send(link, kv2::commandPacket(kv2::Command::BeginDownload));
    const QByteArrayView zone = kv2::applicationZone(image.data);
    const auto count = quint16(zone.size());
    const auto* bytes = reinterpret_cast<const quint8*>(zone.data());
    programMemory(link, kv2::APPLICATION_ZONE_START, count, bytes);
    if (!verifyMemory(link, kv2::APPLICATION_ZONE_START, count, bytes))
        throw HException(VERIFY_FAILED);
    confirmInStep(connection);
    send(link, kv2::commandPacket(kv2::Command::EndDownload));
}
