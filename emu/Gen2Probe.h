#pragma once

#include "emu/PacketFunction.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2Protocol.h"
#include "gen2/KV2VersionRecord.h"
#include "gen2/ProbeInfo.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>

class EmulatedDevice;

// The firmware of an emulated generation-2 probe, behind raw 64-byte pipes (RawPacketPipe).
// Its state is its flash: the application zone holds whatever was last programmed, and
// the application that runs from it reports the version and variant of the image's version
// record (KV2VersionRecord) and enumerates with the serial number in the image's
// serial-number field, as real firmware does.
//
//   Application (product id 2)  ReadInfo: kind 2, version, variant flags.
//                               EnterBootloader: restarts into the bootloader.
//   Bootloader (product id 0xFF) ReadInfo: kind 0xFF. BeginDownload erases the application
//                               zone; Program writes a block into it (only after
//                               BeginDownload); Verify compares a block and answers 0x00 or
//                               0x01; EndDownload restarts into the application, or back
//                               into the bootloader when the zone holds no version record.
//                               EnterBootloader restarts the bootloader (unless it is
//                               set to ignore it).
//
// A restart drops the probe off the bus; it comes back after the reboot time (1500 ms by
// default) with the product id of its new mode. Other packets are ignored, and so are
// packets that are not well-formed. Replies, flash writes and compares take plausible
// real times (used by the demo; free under a virtual clock).
//
// Faults for the tests and the demo are armed through the operations below. Calls are
// serialised by the device that carries the probe: a test on another thread than the one
// serving the transport wraps them in EmulatedDevice::withLock.
class Gen2Probe : public PacketFunction {
public:
    enum class Mode { Application, Bootloader };

    static constexpr quint32 DEFAULT_REBOOT_MS = 1500;
    // A restart that does not end within any session (the tick compares signed).
    static constexpr quint32 NEVER_MS = 0x7FFFFFFF;
    static constexpr quint32 READ_INFO_MS = 1;  // until the ReadInfo reply is ready
    static constexpr quint32 PROGRAM_MS = 3;    // busy writing one block of flash
    static constexpr quint32 VERIFY_MS = 2;     // reading and comparing one block
    // Flash addresses 0 to FLASH_SIZE - 1; the bootloader keeps the bytes below the
    // application zone to itself.
    static constexpr int FLASH_SIZE = kv2::MAX_IMAGE_SIZE;
    static constexpr char ERASED = char(0xFF);
    // Where a probe made with an application keeps its marks.
    static constexpr int RECORD_ADDRESS = 0x300;
    static constexpr int SERIAL_MARKER_ADDRESS = 0x320;

    // A probe running an application of this version and variant, whose flash carries
    // `serialNumber` in its serial-number field (at most 126 characters).
    Gen2Probe(const KV2VersionRecord& application, const QString& serialNumber);
    // A probe in its bootloader with an erased application zone.
    Gen2Probe() = default;

    Mode mode() const { return current; }
    // What the probe answers to ReadInfo in its current mode.
    ProbeInfo info() const;
    QByteArray flash() const { return memory; }
    QByteArray applicationZone() const { return memory.mid(kv2::APPLICATION_ZONE_START); }

    void setRebootMs(quint32 milliseconds) { rebootMs = milliseconds; }
    // The next restart into the bootloader never ends: the probe leaves the bus for good.
    void bootloaderNeverAppears() { neverReturn = true; }
    // The next EnterBootloader is acted on only after the application has answered
    // `readInfos` more ReadInfo requests as the application; the packet after them
    // restarts it.
    void applicationKeepsAnswering(int readInfos) { keepAnswering = readInfos; }
    // In the next download the block with this index (0 for the first one programmed) is
    // written wrongly, so its Verify reports a mismatch.
    void corruptBlock(int index) { corruptIndex = index; }
    // The `n`-th reply from now (1: the next) goes out twice, as from a probe that answers
    // one request twice. May be armed for several replies; 0 disarms them all.
    void answerTwice(int n);
    // The firmware answers from one reply buffer, as small firmware often does: a Verify
    // answer writes its status into byte 0 and leaves bytes 1 to 63 as the previous answer
    // left them (after a ReadInfo, a match then reads like the bootloader's information).
    void setReusesReplyBuffer(bool reuses) { reuseBuffer = reuses; }
    // The bootloader ignores EnterBootloader (instead of restarting), as some do.
    void setIgnoresEnterBootloader(bool ignores) { ignoresEnter = ignores; }
    // The next `count` requests that expect a reply get none (-1: none from now on), so
    // the host times out.
    void withholdReplies(int count) { withheld = count; }

    void received(const QByteArray& packet, quint32 nowMs, PacketPort& host) override;
    quint32 busyForMs(quint32 nowMs) const override;

private:
    void application(const kv2::Request& request, PacketPort& host);
    void bootloader(const kv2::Request& request, quint32 nowMs, PacketPort& host);
    void program(const kv2::Request& request, quint32 nowMs);
    bool matches(const kv2::Request& request) const;
    void reply(const kv2::Packet& packet, quint32 delayMs, PacketPort& host);
    void restartInto(Mode mode, PacketPort& host, const std::optional<QString>& serial);
    void endDownload(PacketPort& host);

    QByteArray memory = QByteArray(FLASH_SIZE, ERASED);
    Mode current = Mode::Bootloader;
    ProbeInfo running;  // the application's answer, valid in Application mode
    quint32 rebootMs = DEFAULT_REBOOT_MS;
    bool receiving = false;  // between BeginDownload and the restart
    int blocksProgrammed = 0;
    std::optional<quint32> busyUntilMs;

    bool neverReturn = false;
    int keepAnswering = 0;
    std::optional<int> answersBeforeRestart;  // set while a restart is held back
    int corruptIndex = -1;
    int withheld = 0;
    bool ignoresEnter = false;
    int repliesSent = 0;
    QList<int> twiceAt;  // the replies (counted by repliesSent) that go out twice
    bool reuseBuffer = false;
    kv2::Packet lastReply{};
};

// The USB product id that a probe in this mode enumerates with.
quint16 productIdOf(Gen2Probe::Mode mode);
// A device carrying `probe` behind a raw packet pipe, enumerating with the product id of
// the probe's mode and with `serialNumber`.
std::shared_ptr<EmulatedDevice> makeGen2Device(std::unique_ptr<Gen2Probe> probe,
                                               const QString& serialNumber);
// The generation-2 probe behind a device, or null when it carries another function.
Gen2Probe* gen2ProbeOf(const EmulatedDevice& device);
