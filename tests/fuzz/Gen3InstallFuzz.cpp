// A whole generation-3 install (connect, erase, download, verify, disconnect) over the
// real link against a loader whose every answer comes from the input: packets of any
// shape, wrong tags, failure and busy statuses, CRCs, silences, failed and timed-out
// transfers, stalled purges (time is virtual, so the busy pauses and 60-second time-outs
// cost nothing). Whatever the loader answers, the install either succeeds having sent
// exactly the install's command stream, or fails with one of the protocol's messages
// having sent a prefix of it (no command after a failure, no disconnect after a failed
// step); every phase that began ends with the progress display reset; there are at most
// nine busy pauses; and the link leaves nothing open.
#include "FuzzCheck.h"
#include "FuzzImages.h"
#include "FuzzInput.h"
#include "FuzzMessages.h"
#include "PipeScript.h"

#include "app/HException.h"
#include "device/Ftd2xxDataLink.h"
#include "gen3/Gen3Engine.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderCommands.h"
#include "gen3/LoaderFrames.h"

#include <QString>

#include <algorithm>
#include <string>
#include <vector>

namespace {

template <std::size_t N>
QByteArray bytesOf(const std::array<quint8, N>& frame) {
    return QByteArray(reinterpret_cast<const char*>(frame.data()), qsizetype(N));
}

// What a successful install sends after its connect frames.
QByteArray installStream(const QByteArray& image) {
    const auto size = quint32(image.size());
    QByteArray erase;
    QByteArray write;
    QByteArray crc;
    for (quint32 done = 0; done < size; done += TRANSFER_CHUNK) {
        const quint32 count = std::min<quint32>(TRANSFER_CHUNK, size - done);
        const quint32 address = IMAGE_BASE_ADDRESS + done;
        erase += bytesOf(rangedFrame(TAG_MEMORY_ERASE, address, count));
        write += bytesOf(rangedFrame(TAG_MEMORY_WRITE, address, count)) + image.mid(done, count);
        crc += bytesOf(rangedFrame(TAG_MEMORY_CRC, address, count));
    }
    return erase + write + crc + bytesOf(shortFrame(TAG_DISCONNECT));
}

bool knownInstallMessage(const std::string& message) {
    const std::vector<std::string> plain = {"write timed out",
                                            "read timed out",
                                            "connect failed, unexpected tag returned",
                                            "connect failed",
                                            "disconnect failed, unexpected tag returned",
                                            "disconnect failed",
                                            "cannot purge RX",
                                            "cannot purge TX"};
    const std::vector<std::pair<std::string, std::vector<std::string>>> steps = {
        {"Erase failed : ",
         {"write timed out", "read timed out", "memory erase failed, unexpected tag returned",
          "memory erase failed"}},
        {"Download failed : ",
         {"write timed out", "read timed out", "memory write failed, unexpected tag returned",
          "memory write failed"}},
        {"Verify failed : ", {"write timed out", "read timed out", "crc check mismatch"}}};
    if (std::find(plain.begin(), plain.end(), message) != plain.end()) {
        return true;
    }
    for (const auto& [prefix, inner] : steps) {
        for (const std::string& text : inner) {
            if (message == prefix + text) {
                return true;
            }
        }
    }
    return false;
}

// Follows the progress reports: three phases in order, each starting at 0 of the image
// size, moving forward and ending at the size.
class ProgressCheck {
public:
    explicit ProgressCheck(int size) : size(size) {}

    void report(int step, int steps, const char* text, const char* units) {
        if (text != nullptr) {
            FUZZ_CHECK(!open && step == 0 && steps == size && units != nullptr);
            FUZZ_CHECK(phases < int(TEXTS.size()) && QByteArray(text) == TEXTS[size_t(phases)]);
            ++phases;
            open = true;
            done = 0;
            return;
        }
        FUZZ_CHECK(open && steps == -1 && units == nullptr);
        FUZZ_CHECK(step > done && step <= size);
        FUZZ_CHECK(step == size || step % TRANSFER_CHUNK == 0);
        done = step;
        open = step != size;
    }
    // Every phase that began has ended.
    bool closed() const { return !open; }
    int phasesSeen() const { return phases; }

private:
    static constexpr std::array<const char*, 3> TEXTS = {
        "Erasing memory, do not remove Korvane", "Downloading firmware, do not remove Korvane",
        "Verifying firmware"};
    int size;
    int phases = 0;
    bool open = false;
    int done = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput script(data, size);
    const QByteArray image = gen3FuzzImage(script.byte());
    VirtualClock clock;
    const ScopedClock scopedClock(clock);
    PipeLog log;
    const ScopedUsbBackend backend(std::make_unique<ScriptedBackend>(script, clock, log));
    const UsbDeviceInfo probe = scriptedGeneration3Probe();

    Gen3Engine installer;
    ProgressCheck progress(int(image.size()));
    QObject::connect(&installer, &Gen3Engine::progress,
                     [&progress](int step, int steps, const char* text, const char* units) {
                         progress.report(step, steps, text, units);
                     });
    bool installed = false;
    try {
        Ftd2xxDataLink link(probe);
        installer.installImage(link, image);
        installed = true;
    } catch (const HException& e) {
        FUZZ_CHECK(
            knownInstallMessage(e.messageText()) ||
            knownMessage(e.messageText(), {"Cannot set reset on pipe", "Cannot set latency timer",
                                           "device already in use", "cannot open device driver"}));
    }
    FUZZ_CHECK(log.pipesOpen == 0);
    FUZZ_CHECK(progress.closed());

    // The connect frames (one per busy reply and one more), then the install's commands.
    const QByteArray written = log.written();
    const QByteArray connect = bytesOf(shortFrame(TAG_CONNECT));
    int connects = 0;
    while (written.mid(connects * connect.size(), connect.size()) == connect) {
        ++connects;
    }
    FUZZ_CHECK(connects <= CONNECT_MAX_BUSY_REPLIES);
    const QByteArray afterConnects = written.mid(connects * connect.size());
    const QByteArray commands = installStream(image);
    if (installed) {
        FUZZ_CHECK(connects >= 1 && afterConnects == commands);
        FUZZ_CHECK(progress.phasesSeen() == 3);
    } else {
        // A prefix of the commands, or the part of a connect frame that the probe took.
        FUZZ_CHECK(commands.startsWith(afterConnects) || connect.startsWith(afterConnects));
    }
    // Only the busy pauses sleep: at most nine of a second each.
    FUZZ_CHECK(clock.sleepCount() < CONNECT_MAX_BUSY_REPLIES && clock.sleepCount() < 1 + connects);
    FUZZ_CHECK(clock.totalSleptMs() == quint64(clock.sleepCount()) * CONNECT_BUSY_PAUSE_MS);
    return 0;
}
