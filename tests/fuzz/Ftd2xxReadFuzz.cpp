// The read path of the generation-3 link, fed arbitrary packet streams: packets of any
// length from 0 to 64 bytes, failed and timed-out transfers, time passing, reads of any
// length with purges, writes and time-out changes between them. Whatever arrives, every
// read stays inside its buffer and hands out the data bytes of the packets (after their
// two modem-status bytes) in order, none twice and none made up: a read that returns n
// bytes returns the next n; one that returns short has handed out everything and waited
// strictly longer than the time-out; -1 comes only from a failed, timed-out or runt
// transfer, and the data of that read is lost.
#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "FuzzMessages.h"
#include "PipeScript.h"

#include "app/HException.h"
#include "device/Ftd2xxDataLink.h"
#include "device/FtdiProtocol.h"

#include <memory>

namespace {

constexpr int MAX_OPERATIONS = 200;
constexpr int MAX_READ = 150;
constexpr int MAX_WRITE = 100;
constexpr int MAX_TIMEOUT_MS = 2000;

enum Operation { SetTimeout = 5, Purge = 6, Write = 7, OPERATIONS = 8 };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput script(data, size);
    VirtualClock clock;
    const ScopedClock scopedClock(clock);
    PipeLog log;
    const ScopedUsbBackend backend(std::make_unique<ScriptedBackend>(script, clock, log));
    const UsbDeviceInfo probe = scriptedGeneration3Probe();

    std::unique_ptr<Ftd2xxDataLink> link;
    try {
        link = std::make_unique<Ftd2xxDataLink>(probe);
    } catch (const HException& e) {
        FUZZ_CHECK(knownMessage(
            e.messageText(),
            {"Cannot set reset on pipe", "Cannot set latency timer", "cannot purge RX",
             "cannot purge TX", "device already in use", "cannot open device driver"}));
        FUZZ_CHECK(log.pipesOpen == 0);
        return 0;
    }

    qsizetype delivered = 0;  // data bytes of the stream handed out or lost so far
    for (int n = 0; n < MAX_OPERATIONS && !script.empty(); ++n) {
        const int operation = script.byte() % OPERATIONS;
        if (operation == SetTimeout) {
            link->setTimeout(script.inRange(0, MAX_TIMEOUT_MS));
        } else if (operation == Purge) {
            try {
                link->purge();
            } catch (const HException& e) {
                FUZZ_CHECK(knownMessage(e.messageText(), {"cannot purge RX", "cannot purge TX"}));
            }
        } else if (operation == Write) {
            const int length = script.inRange(0, MAX_WRITE);
            const QByteArray bytes(length, '\x5A');
            const int before = int(log.writes.size());
            const int written = link->write(bytes.constData(), length);
            FUZZ_CHECK(written == -1 || (written >= 0 && written <= length));
            if (written >= 0) {
                FUZZ_CHECK(log.writes.size() == before + 1 && log.writes.last().size() == written);
            }
        } else {
            // An exact-size buffer: a byte written past it is an AddressSanitizer report.
            const int length = script.inRange(0, MAX_READ);
            const auto buffer = std::make_unique<char[]>(size_t(length) + (length == 0 ? 1 : 0));
            const int transfersBefore = log.transfers;
            const quint32 start = clock.tickMs();
            const int result = link->read(buffer.get(), length);
            const QByteArray stream = log.readData();
            if (result < 0) {
                FUZZ_CHECK(result == -1);
                FUZZ_CHECK(!log.lastReadCompleted ||
                           log.reads.last().size() < ftdi::MODEM_STATUS_BYTES);
                delivered = stream.size();
                continue;
            }
            FUZZ_CHECK(result <= length);
            FUZZ_CHECK(QByteArray(buffer.get(), result) == stream.mid(delivered, result));
            delivered += result;
            if (length == 0) {
                FUZZ_CHECK(log.transfers == transfersBefore);
            } else if (result < length) {
                // Short: everything handed out, after strictly more than the time-out.
                FUZZ_CHECK(delivered == stream.size());
                FUZZ_CHECK(clock.tickMs() - start > link->timeout());
            } else {
                // What is left over is kept from one packet only.
                FUZZ_CHECK(stream.size() - delivered < ftdi::PACKET_DATA_BYTES);
            }
        }
    }
    link.reset();
    FUZZ_CHECK(log.pipesOpen == 0);
    return 0;
}
