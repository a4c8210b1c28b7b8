// A whole generation-2 download (EnterBootloader, the wait for the bootloader, BeginDownload,
// Program, Verify, the closing ReadInfo, EndDownload) against a bus and a probe whose every answer
// comes from the input: no probe, several probes, another vendor, a serial number of the wrong
// length, refused openings, probe information of any kind, verify replies of any status, failed,
// timed-out and partial transfers. Time is virtual, so the 60 one-second attempts cost no
// real time. Whatever happens, the download either succeeds having sent exactly the
// download's packets, or fails with one of its messages having sent a prefix of them; in
// particular EndDownload is sent exactly when the download succeeds. The wait sleeps at most
// 60 times, the progress moves forward phase by phase, and every link is closed.
#include "FuzzCheck.h"
#include "FuzzImages.h"
#include "FuzzInput.h"
#include "FuzzMessages.h"
#include "PipeScript.h"

#include "app/HException.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"
#include "gen2/KorvaneBootloader.h"

#include <QList>

namespace {

QByteArray packetBytes(const kv2::Packet& packet) {
    return kv2::bytesOf(packet).toByteArray();
}

QByteArray commandBytes(kv2::Command command) {
    return packetBytes(kv2::commandPacket(command));
}

// The packets a successful download sends once the wait is over, for `image` with the
// probe's serial number written into it.
QList<QByteArray> downloadPackets(KV2FirmwareImage image) {
    image.patchSerialNumber(pipescript::PROBE_SERIAL);
    const QByteArray zone = kv2::applicationZone(image.data).toByteArray();
    const QList<kv2::Block> blocks = kv2::splitIntoBlocks(kv2::APPLICATION_ZONE_START, zone.size());
    QList<QByteArray> packets{commandBytes(kv2::Command::BeginDownload)};
    for (const kv2::Command command : {kv2::Command::Program, kv2::Command::Verify}) {
        for (const kv2::Block& block : blocks) {
            packets << packetBytes(
                kv2::blockPacket(command, block.address, zone.mid(block.offset, block.size)));
        }
    }
    // A ReadInfo proves the replies were read in step before the download is ended.
    packets << commandBytes(kv2::Command::ReadInfo) << commandBytes(kv2::Command::EndDownload);
    return packets;
}

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

private:
    static constexpr std::array<const char*, 3> TEXTS = {"Waiting for bootloader to start",
                                                         "Programming", "Verifying"};
    int phases = 0;
    int total = 0;
    int done = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput script(data, size);
    const int choice = script.byte();
    KV2FirmwareImage image = gen2FuzzImage(choice);
    const qsizetype imageSize = image.data.size();
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
    // probe took before the attempt failed), then the download.
    const QList<QByteArray>& sent = log.writes;
    QList<QByteArray> expected{commandBytes(kv2::Command::EnterBootloader)};
    qsizetype next = 1;
    while (next < sent.size() && commandBytes(kv2::Command::ReadInfo).startsWith(sent[next])) {
        expected << sent[next++];
    }
    if (imageSize <= kv2::MAX_IMAGE_SIZE) {
        expected << downloadPackets(gen2FuzzImage(choice));
    }
    FUZZ_CHECK(sent.size() <= expected.size());
    for (qsizetype n = 0; n < sent.size(); ++n) {
        // A packet the probe took only in part ends the download.
        FUZZ_CHECK(sent[n] == expected[n] ||
                   (n + 1 == sent.size() && !downloaded && expected[n].startsWith(sent[n])));
    }
    const bool endSent = !sent.isEmpty() && sent.last() == commandBytes(kv2::Command::EndDownload);
    FUZZ_CHECK(downloaded == endSent);
    if (downloaded) {
        FUZZ_CHECK(sent.size() == expected.size());
    }
    return 0;
}
