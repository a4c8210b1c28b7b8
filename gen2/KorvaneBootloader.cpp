#include "gen2/KorvaneBootloader.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/PipeDataLink.h"
#include "device/UsbDiscovery.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"

#include <QScopeGuard>

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

// How long a probe may take to send a reply that is already on its way.
constexpr int STALE_REPLY_WAIT_MS = 100;
// More replies than any number of abandoned attempts can leave.
constexpr int MAX_STALE_REPLIES = kv2::BOOTLOADER_ATTEMPTS;

// Reads and drops the replies the probe still has to send, until none comes within
// STALE_REPLY_WAIT_MS; the link's time-out is restored afterwards. A failing transfer
// throws as any read does.
void discardStaleReplies(PipeDataLink& link) {
    const auto timeout = int(link.timeout());
    link.setTimeout(STALE_REPLY_WAIT_MS);
    const auto restore = qScopeGuard([&] { link.setTimeout(timeout); });
    try {
        for (int n = 0; n < MAX_STALE_REPLIES; ++n)
            receive(link);
    } catch (const HException& e) {
        if (std::string(e.messageText()) != PipeDataLink::READ_TIMED_OUT)
            throw;
    }
}

}  // namespace

KorvaneBootloader::KorvaneBootloader(QObject* parent) : QObject(parent) {}

void KorvaneBootloader::readProbeInfo(PipeDataLink& link, ProbeInfo& info) {
    send(link, kv2::commandPacket(kv2::Command::ReadInfo));
    info = ProbeInfo::decode(kv2::bytesOf(receive(link)));
}

std::unique_ptr<PipeDataLink> KorvaneBootloader::connectBootloader() {
    return connectBootloader(false);
}

std::unique_ptr<PipeDataLink> KorvaneBootloader::connectBootloader(bool replyAbandoned) {
    auto link = std::make_unique<PipeDataLink>(singleGeneration2Device());
    ProbeInfo info;
    readProbeInfo(*link, info);  // a failure closes the link on its way out
    if (!info.isBootloader())
        throw HException("Bootloader not running");
    // The probe answers in order: whatever follows the reply read is this ReadInfo's.
    if (replyAbandoned)
        discardStaleReplies(*link);
    return link;
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

    std::unique_ptr<PipeDataLink> link;
    Q_EMIT progress(0, kv2::BOOTLOADER_ATTEMPTS, WAITING_TEXT, nullptr);
    int attempts = 0;
    bool replyAbandoned = false;
    while (!link) {
        sleepMs(kv2::BOOTLOADER_ATTEMPT_PAUSE_MS);
        try {
            link = connectBootloader(replyAbandoned);
        } catch (const HException& e) {
            // Whatever the cause (absent while restarting, several devices, no answer,
            // still the application), the attempt counts and the wait goes on.
            replyAbandoned =
                replyAbandoned || std::string(e.messageText()) == PipeDataLink::READ_TIMED_OUT;
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

    send(*link, kv2::commandPacket(kv2::Command::BeginDownload));
    const QByteArrayView zone = kv2::applicationZone(image.data);
    const auto count = quint16(zone.size());
    const auto* bytes = reinterpret_cast<const quint8*>(zone.data());
    programMemory(*link, kv2::APPLICATION_ZONE_START, count, bytes);
    if (!verifyMemory(*link, kv2::APPLICATION_ZONE_START, count, bytes))
        throw HException("Application download verify failed");
    send(*link, kv2::commandPacket(kv2::Command::EndDownload));
}
