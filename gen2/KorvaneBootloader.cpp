#include "gen2/KorvaneBootloader.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/PipeDataLink.h"
#include "device/UsbDiscovery.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"

#include <cstring>
#include <optional>
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

constexpr const char* NO_DEVICES = "No devices connected";

// The single attached generation-2 device (application or bootloader).
KorvaneBootloader::Found singleGeneration2Device() {
    const UsbDeviceList devices = findGeneration2Devices();
    if (devices.isEmpty())
        return {std::nullopt, NO_DEVICES};
    if (devices.size() > 1)
        return {std::nullopt, "Multiple devices connected"};
    return {devices.first(), nullptr};
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

UsbDeviceInfo KorvaneBootloader::Found::orThrow() const {
    if (!device)
        throw HException(problem != nullptr ? problem : NO_DEVICES);
    return *device;
}

KorvaneBootloader::ProbeFinder KorvaneBootloader::onlyGeneration2Device() {
    return {singleGeneration2Device, QString()};
}

KorvaneBootloader::ProbeFinder KorvaneBootloader::onPortOf(const UsbDeviceInfo& probe) {
    const auto onItsPort = [probe]() -> Found {
        for (const UsbDeviceInfo& device : findGeneration2Devices()) {
            const bool samePort = probe.port().isEmpty()
                                      ? device.serialNumber() == probe.serialNumber()
                                      : device.port() == probe.port();
            // The port says where; the serial number, where both report one, that it is
            // still the same probe.
            const bool sameSerial = device.serialNumber().isEmpty() ||
                                    probe.serialNumber().isEmpty() ||
                                    device.serialNumber() == probe.serialNumber();
            if (samePort && sameSerial)
                return {device, nullptr};
        }
        return {std::nullopt, NO_DEVICES};
    };
    return {onItsPort, probe.serialNumber()};
}

std::unique_ptr<PipeDataLink> KorvaneBootloader::connectBootloader() {
    return reachBootloader(singleGeneration2Device().orThrow()).link;
}

KorvaneBootloader::Connection KorvaneBootloader::reachBootloader(const UsbDeviceInfo& device) {
    Connection connection;
    connection.link = std::make_unique<PipeDataLink>(device);
    // The answer read may be a late one to an earlier attempt's ReadInfo: it is the
    // bootloader's all the same, and the pairing sets aside what is still queued behind it.
    connection.info = askInfo(*connection.link);
    if (!connection.info.isBootloader())
        throw HException("Bootloader not running");  // the link closes on the way out
    return connection;
}

KorvaneBootloader::Connection KorvaneBootloader::awaitBootloader(const ProbeFinder& finder) {
    Connection connection;
    Q_EMIT progress(0, kv2::BOOTLOADER_ATTEMPTS, WAITING_TEXT, nullptr);
    int attempts = 0;
    while (!connection.link) {
        sleepMs(kv2::BOOTLOADER_ATTEMPT_PAUSE_MS);
        // Whatever the cause (absent while restarting, several devices, no answer, still
        // the application), a failed attempt counts and the wait goes on. A reply an
        // attempt gave up on may be read by a later one.
        if (const Found found = finder.find(); found.device) {
            try {
                connection = reachBootloader(*found.device);
            } catch (const HException&) {
                // Not reached this time; the attempt's link is closed already.
            }
        }
        if (!connection.link && attempts + 1 == kv2::BOOTLOADER_ATTEMPTS)
            throw HException("Bootloader restore failed");
        ++attempts;
        Q_EMIT progress(attempts, -1, nullptr, nullptr);
    }
    Q_EMIT progress(kv2::BOOTLOADER_ATTEMPTS, -1, nullptr, nullptr);
    return connection;
}

void KorvaneBootloader::pairedVerify(PipeDataLink& link, ReplyPairing& pairing,
                                     ReplyPairing::Phase phase, const QList<kv2::Block>& blocks,
                                     const quint8* data, int& verified) {
    while (pairing.phase() == phase) {
        const std::optional<ReplyPairing::Request> request = pairing.next();
        if (request) {
            const kv2::Block& block = blocks.at(request->block);
            send(link, request->packet(block, QByteArrayView(data + block.offset, block.size)));
        }
        kv2::Packet reply;
        try {
            reply = receive(link);
        } catch (const HException& e) {
            // Looking past stale answers, the replies ran out before the pattern came.
            if (!request && std::strcmp(e.messageText(), PipeDataLink::READ_TIMED_OUT) == 0)
                throw HException(VERIFY_FAILED);
            throw;
        }
        const bool matched = kv2::verifyMatched(kv2::bytesOf(reply));
        if (!pairing.observe(matched ? ReplyPairing::Answer::Match
                                     : ReplyPairing::Answer::Mismatch))
            throw HException(VERIFY_FAILED);
        if (phase == ReplyPairing::Phase::Blocks && request && !request->decoy) {
            verified += blocks.at(request->block).size;
            Q_EMIT progress(verified, -1, nullptr, nullptr);
        }
    }
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
    InstallPlan plan;
    // The caller's image, patched in place.
    plan.steps = downloadSteps(std::shared_ptr<KV2FirmwareImage>(std::shared_ptr<void>(), &image),
                               patchSerial, onlyGeneration2Device());
    plan.run();
}

QList<InstallStep> KorvaneBootloader::downloadSteps(const std::shared_ptr<KV2FirmwareImage>& image,
                                                    bool patchSerial, const ProbeFinder& finder) {
    // What the steps share: the probe as found before the restart (its serial number goes
    // into the image), the bootloader's link once the wait reached it, and the verify
    // phase's pairing. Released with the steps, which closes the link on every way out.
    struct Session {
        UsbDeviceInfo device;
        Connection connection;
        QList<kv2::Block> blocks;  // of the application zone
        std::optional<ReplyPairing> pairing;
        int verified = 0;
    };
    auto session = std::make_shared<Session>();
    // The zone's size does not change with the serial patch; an image too large for the
    // 16-bit addresses is refused (step 3) before anything is programmed.
    const qsizetype zoneSize = kv2::applicationZone(image->data).size();
    const auto count = quint16(zoneSize);
    const qsizetype packets = (zoneSize + kv2::MAX_BLOCK_SIZE - 1) / kv2::MAX_BLOCK_SIZE;
    const auto bytes = [image] {
        return reinterpret_cast<const quint8*>(kv2::applicationZone(image->data).data());
    };
    const auto link = [session]() -> PipeDataLink& { return *session->connection.link; };
    // One pass of the verify phase, in the steps below.
    const auto verify = [this, session, bytes, count](ReplyPairing::Phase phase) {
        if (!session->pairing) {
            Q_EMIT progress(0, count, VERIFYING_TEXT, UNITS);
            session->blocks = kv2::splitIntoBlocks(kv2::APPLICATION_ZONE_START, count);
            session->pairing.emplace(int(session->blocks.size()), ReplyPairing::sessionSeed());
        }
        pairedVerify(*session->connection.link, *session->pairing, phase, session->blocks, bytes(),
                     session->verified);
    };

    const auto restart = [image, session, find = finder.find] {
        // Without an application zone there is nothing to send; refused before the probe is
        // touched.
        if (image->data.size() < kv2::APPLICATION_ZONE_START)
            throw HException("Firmware image is too small (" + std::to_string(image->data.size()) +
                             " bytes): the application zone starts at byte " +
                             std::to_string(kv2::APPLICATION_ZONE_START));
        // The record found now supplies the serial number: the probe's own, whatever it
        // enumerates as once restarted.
        session->device = find().orThrow();
        PipeDataLink link(session->device);
        send(link, kv2::commandPacket(kv2::Command::EnterBootloader));
    };
    const auto patch = [image, session, patchSerial] {
        image->checkFitsApplicationZone();
        if (patchSerial)
            image->patchSerialNumber(session->device.serialNumber());
    };
    const auto end = [session, link] {
        // Only a pairing that saw every answer it expected gets here.
        if (!session->pairing || session->pairing->phase() != ReplyPairing::Phase::Done)
            throw HException(VERIFY_FAILED);
        send(link(), kv2::commandPacket(kv2::Command::EndDownload));
        session->connection.link.reset();
    };
    return {
        {QStringLiteral("restart the probe into its bootloader (EnterBootloader)"), restart,
         InstallPhase::EnteringBootloader, true},
        {QStringLiteral("wait for the bootloader: at most %1 attempts, %2 ms apart")
             .arg(kv2::BOOTLOADER_ATTEMPTS)
             .arg(kv2::BOOTLOADER_ATTEMPT_PAUSE_MS),
         [this, session, finder] { session->connection = awaitBootloader(finder); },
         InstallPhase::WaitingForBootloader},
        {patchSerial ? QStringLiteral("write the probe's serial number %1 into the image")
                           .arg(finder.serialNumber)
                           .simplified()
                     : QStringLiteral("check that the image fits the application zone"),
         patch, InstallPhase::Preparing},
        {QStringLiteral("begin the download (BeginDownload)"),
         [link] { send(link(), kv2::commandPacket(kv2::Command::BeginDownload)); },
         InstallPhase::Writing},
        {QStringLiteral("program %1 bytes from 0x%2 in %3 packets of at most %4 bytes")
             .arg(zoneSize)
             .arg(kv2::APPLICATION_ZONE_START, 0, 16)
             .arg(packets)
             .arg(kv2::MAX_BLOCK_SIZE),
         [this, link, bytes, count] {
             programMemory(link(), kv2::APPLICATION_ZONE_START, count, bytes());
         },
         InstallPhase::Writing},
        {QStringLiteral("line up the replies: %1 Verify packets of known answers, setting aside "
                        "up to %2 stale answers queued ahead of theirs")
             .arg(ReplyPairing::RESYNC_LENGTH)
             .arg(ReplyPairing::MAX_STALE),
         [verify] { verify(ReplyPairing::Phase::Resync); }, InstallPhase::Verifying},
        {QStringLiteral("verify them in %1 packets, with Verify packets of wrong data (about 1 "
                        "in %2) that must report a mismatch")
             .arg(packets)
             .arg(ReplyPairing::DECOY_ONE_IN),
         [verify] { verify(ReplyPairing::Phase::Blocks); }, InstallPhase::Verifying},
        {QStringLiteral("confirm the pairing: %1 Verify packets, each of a verified block or of "
                        "wrong data at random")
             .arg(ReplyPairing::TRAILER_LENGTH),
         [verify] { verify(ReplyPairing::Phase::Trailer); }, InstallPhase::Verifying},
        {QStringLiteral("end the download (EndDownload); the probe restarts into its application"),
         end, InstallPhase::Finishing},
    };
}
