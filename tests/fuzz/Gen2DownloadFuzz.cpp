// A whole generation-2 download (EnterBootloader, the wait for the bootloader, BeginDownload,
// Program, the paired Verify phase, EndDownload) against a bus and a probe whose every
// answer comes from the input: no probe, several probes, another vendor, a serial number of
// the wrong length, refused openings, probe information of any kind, verify replies of any
// status, stale and missing replies, failed, timed-out and partial transfers. The input
// starts with the image's choice and the seed of the session's pattern of known answers.
// Time is virtual, so the 60 one-second attempts and every time-out cost no real time.
//
// Whatever happens, the download sends the download's packets in order (or a prefix of
// them after a failure): EnterBootloader, ReadInfo per attempt, BeginDownload, every
// Program packet, then Verify packets only, each of a block of the image with its own bytes
// or with bytes made wrong, and EndDownload exactly when it succeeds. A success means that
// the replies, once the stale ones the resync set aside are passed over, answered every
// Verify as it had to: a match for a block's own bytes, a mismatch for wrong ones, and that
// every block's own Verify was among them, in address order. It fails with one of its
// messages otherwise. The wait sleeps at most 60 times, the progress moves forward phase by
// phase, and every link is closed.
#include "FuzzCheck.h"
#include "FuzzImages.h"
#include "FuzzInput.h"
#include "FuzzMessages.h"
#include "PipeScript.h"

#include "app/HException.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"
#include "gen2/KorvaneBootloader.h"
#include "gen2/ReplyPairing.h"

#include <QList>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace {

QByteArray commandBytes(kv2::Command command) {
    return kv2::bytesOf(kv2::commandPacket(command)).toByteArray();
}

// What a successful download sends once the wait is over, for one image choice, with the
// probe's serial number written into it: BeginDownload and the Program packets, and the
// application zone with its blocks, which the Verify packets are checked against. Made once
// per choice.
struct Download {
    QByteArray zone;
    QList<kv2::Block> blocks;
    QList<QByteArray> programming;

    static const Download& of(int choice) {
        static std::array<std::optional<Download>, GEN2_IMAGE_CHOICES> made;
        std::optional<Download>& download = made[size_t(choice % GEN2_IMAGE_CHOICES)];
        if (!download) {
            KV2FirmwareImage image = gen2FuzzImage(choice);
            download.emplace();
            if (image.data.size() <= kv2::MAX_IMAGE_SIZE) {
                image.patchSerialNumber(pipescript::PROBE_SERIAL);
                download->zone = kv2::applicationZone(image.data).toByteArray();
                download->blocks =
                    kv2::splitIntoBlocks(kv2::APPLICATION_ZONE_START, download->zone.size());
                download->programming << commandBytes(kv2::Command::BeginDownload);
                for (const kv2::Block& block : download->blocks) {
                    download->programming
                        << kv2::bytesOf(
                               kv2::blockPacket(kv2::Command::Program, block.address,
                                                download->zone.mid(block.offset, block.size)))
                               .toByteArray();
                }
            }
        }
        return *download;
    }

    // The block a Verify packet is of, and whether it carries the block's own bytes; nothing
    // when it is not a Verify of a block of the image.
    struct Verified {
        int block;
        bool own;
    };
    std::optional<Verified> verified(const QByteArray& packet) const {
        static constexpr std::array<char, kv2::PACKET_SIZE> ZEROS{};
        const std::optional<kv2::Request> request = kv2::parseRequest(packet);
        if (!request || !request->is(kv2::Command::Verify) ||
            request->address < kv2::APPLICATION_ZONE_START)
            return std::nullopt;
        const qsizetype index =
            (request->address - kv2::APPLICATION_ZONE_START) / kv2::MAX_BLOCK_SIZE;
        const qsizetype size = request->data.size();
        if (index >= blocks.size() || blocks[index].address != request->address ||
            blocks[index].size != size ||
            std::memcmp(packet.constData() + kv2::DATA_OFFSET + size, ZEROS.data(),
                        size_t(kv2::PACKET_SIZE - kv2::DATA_OFFSET - size)) != 0)
            return std::nullopt;
        const bool own = std::memcmp(request->data.data(), zone.constData() + blocks[index].offset,
                                     size_t(size)) == 0;
        return Verified{int(index), own};
    }
};

// Follows the progress reports: the wait (0 of 60, one step per attempt, 60 once the
// bootloader answered), then programming and verifying, each from 0 of the zone's size and
// one step per block.
class ProgressCheck {
public:
    void report(int step, int steps, const char* text, const char* units) {
        if (text != nullptr) {
            const QByteArray phase(text);
            FUZZ_CHECK(step == 0 && steps > 0);
            FUZZ_CHECK(phases < 3 && phase == TEXTS[size_t(phases)]);
            FUZZ_CHECK((units == nullptr) == (phases == 0));
            ++phases;
            total = steps;
            done = 0;
            return;
        }
        // Forward only; the wait reports its total once more when its 60th attempt
        // reached the bootloader.
        FUZZ_CHECK(phases > 0 && steps == -1 && units == nullptr);
        FUZZ_CHECK(step <= total && (step > done || (step == total && phases == 1)));
        done = step;
    }
    // Whether the verifying phase reached its total.
    bool verifiedAll() const { return phases == 3 && done == total; }

private:
    static constexpr std::array<const char*, 3> TEXTS = {"Waiting for bootloader to start",
                                                         "Programming", "Verifying"};
    int phases = 0;
    int total = 0;
    int done = 0;
};

// The Verify phase of a download that succeeded, as the probe saw it: `verifies` the Verify
// packets in order, `replies` the 64-byte replies read after BeginDownload.
void checkPaired(const Download& download, const QList<QByteArray>& verifies,
                 const QByteArray& replies) {
    FUZZ_CHECK(replies.size() % kv2::PACKET_SIZE == 0);
    const qsizetype read = replies.size() / kv2::PACKET_SIZE;
    const qsizetype stale = read - verifies.size();
    FUZZ_CHECK(stale >= 0 && stale <= ReplyPairing::MAX_STALE);
    FUZZ_CHECK(verifies.size() >=
               download.blocks.size() + ReplyPairing::RESYNC_LENGTH + ReplyPairing::TRAILER_LENGTH);
    // The resync (of the first block, starting with wrong bytes), the blocks (each block's
    // own Verify in address order, wrong ones among them), the trailer.
    const qsizetype trailer = verifies.size() - ReplyPairing::TRAILER_LENGTH;
    int nextBlock = 0;
    for (qsizetype n = 0; n < verifies.size(); ++n) {
        const auto verified = download.verified(verifies[n]);
        FUZZ_CHECK(verified.has_value());
        if (n < ReplyPairing::RESYNC_LENGTH)
            FUZZ_CHECK(verified->block == 0 && (n > 0 || !verified->own));
        else if (n < trailer && verified->own)
            FUZZ_CHECK(verified->block == nextBlock++);
        // Past the stale replies, each reply answers its own Verify.
        const bool matched =
            kv2::verifyMatched(QByteArrayView(replies).sliced((stale + n) * kv2::PACKET_SIZE));
        FUZZ_CHECK(matched == verified->own);
    }
    FUZZ_CHECK(nextBlock == download.blocks.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput script(data, size);
    const int choice = script.byte();
    quint64 seed = 0;
    for (int shift = 0; shift < 32; shift += 8)
        seed |= quint64(script.byte()) << shift;
    const ReplyPairing::ScopedSeeds seeds([seed] { return seed; });
    KV2FirmwareImage image = gen2FuzzImage(choice);
    const Download& download = Download::of(choice);
    VirtualClock clock;
    const ScopedClock scopedClock(clock);
    PipeLog log;
    const ScopedUsbBackend backend(std::make_unique<ScriptedBackend>(script, clock, log));

    KorvaneBootloader bootloader;
    ProgressCheck progress;
    QObject::connect(&bootloader, &KorvaneBootloader::progress,
                     [&progress](int step, int steps, const char* text, const char* units) {
                         progress.report(step, steps, text, units);
                     });
    bool downloaded = false;
    try {
        bootloader.downloadApplication(image, true);
        downloaded = true;
    } catch (const HException& e) {
        FUZZ_CHECK(knownMessage(
            e.messageText(),
            {"No devices connected", "Multiple devices connected", "Bootloader restore failed",
             "Application to large to fit in appication zone", "Application download verify failed",
             "write operation failed", "write operation timed out", "read operation timed out",
             "read operation failed (I/O pending)", "read operation failed (GetOverlappedResult)",
             "device already in use", "cannot open device driver"},
            {"Cannot set serial number, incorrect size ("}));
    }
    FUZZ_CHECK(log.pipesOpen == 0);
    FUZZ_CHECK(clock.sleepCount() <= kv2::BOOTLOADER_ATTEMPTS);
    FUZZ_CHECK(clock.totalSleptMs() ==
               quint64(clock.sleepCount()) * kv2::BOOTLOADER_ATTEMPT_PAUSE_MS);

    // EnterBootloader, a ReadInfo per attempt that reached a probe (whole, or the part the
    // probe took before the attempt failed), BeginDownload and the Program packets.
    const QList<QByteArray>& sent = log.writes;
    const QByteArray readInfo = commandBytes(kv2::Command::ReadInfo);
    FUZZ_CHECK(sent.isEmpty() || commandBytes(kv2::Command::EnterBootloader).startsWith(sent[0]));
    qsizetype next = std::min<qsizetype>(1, sent.size());
    while (next < sent.size() && readInfo.startsWith(sent[next]))
        ++next;
    const qsizetype begin = next;
    for (const QByteArray& expected : download.programming) {
        if (next >= sent.size())
            break;
        // A packet the probe took only in part ends the download.
        FUZZ_CHECK(sent[next] == expected ||
                   (next + 1 == sent.size() && !downloaded && expected.startsWith(sent[next])));
        ++next;
    }
    // Then Verify packets of the image's blocks only, and EndDownload exactly on success.
    const QByteArray end = commandBytes(kv2::Command::EndDownload);
    const bool endSent = next < sent.size() && sent.last() == end;
    FUZZ_CHECK(downloaded == endSent);
    const QList<QByteArray> verifies = sent.mid(next, sent.size() - next - (endSent ? 1 : 0));
    for (qsizetype n = 0; n < verifies.size(); ++n) {
        FUZZ_CHECK(
            download.verified(verifies[n]).has_value() ||
            (n + 1 == verifies.size() && !downloaded && verifies[n].size() < kv2::PACKET_SIZE));
    }
    if (downloaded) {
        FUZZ_CHECK(progress.verifiedAll());
        QByteArray replies;
        for (qsizetype n = 0; n < log.reads.size(); ++n) {
            if (log.writesBeforeRead[n] > begin)
                replies += log.reads[n];
        }
        checkPaired(download, verifies, replies);
    }
    return 0;
}
