#pragma once

#include "device/UsbDeviceInfo.h"
#include "gen2/ProbeInfo.h"
#include "gen2/ReplyPairing.h"
#include "probe/InstallPlan.h"

#include <QObject>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

class KV2FirmwareImage;
class PipeDataLink;

// Drives a generation-2 probe over its raw 64-byte packets: reads what the probe runs,
// switches the one attached probe from its application into the bootloader, waits for the
// bootloader, and programs and verifies the application zone of an image. Short-lived and
// without state of its own: a user creates one as a local for one operation and connects
// to `progress` if it wants the phases (the generation-2 page relays them to the main
// window). Every failure is thrown as HException.
class KorvaneBootloader : public QObject {
    Q_OBJECT

public:
    explicit KorvaneBootloader(QObject* parent = nullptr);

    // What a search for the probe found: the probe, or why there is none ("No devices
    // connected", "Multiple devices connected"). An absent probe is the normal state of
    // most attempts of the wait, which count it without an exception.
    struct Found {
        std::optional<UsbDeviceInfo> device;
        const char* problem = nullptr;
        // The probe; throws HException with the problem when there is none.
        UsbDeviceInfo orThrow() const;
    };
    // Where a download finds its probe, before the restart (where finding none fails the
    // download) and at each attempt of the wait for its bootloader (where it counts as a
    // failed attempt).
    struct ProbeFinder {
        std::function<Found()> find;
        QString serialNumber;  // the probe's, when known beforehand (for the plan's texts)
    };
    // The single attached generation-2 device: "No devices connected" or "Multiple
    // devices connected" otherwise.
    static ProbeFinder onlyGeneration2Device();
    // `probe`, followed through its restart by its physical port, with the serial number
    // as a cross-check where both report one; other probes may be attached meanwhile.
    static ProbeFinder onPortOf(const UsbDeviceInfo& probe);

    // The whole update: EnterBootloader on the single attached generation-2 device, the
    // wait for its bootloader (60 attempts, one second apart), the size check, the serial
    // patch (with the serial number enumerated before the restart, when `patchSerial`),
    // BeginDownload, Program, the Verify of every block among Verify requests of known
    // answers that pair each answer with its request (ReplyPairing), and EndDownload once
    // every answer was the expected one. Any failure after EnterBootloader leaves the probe
    // in its bootloader; no EndDownload is sent then. Runs downloadSteps.
    void downloadApplication(KV2FirmwareImage& image, bool patchSerial);
    // The update as the steps of a plan, on the probe that `finder` finds; the steps keep
    // `image` and patch it. What downloadApplication runs, with a finder of its own.
    QList<InstallStep> downloadSteps(const std::shared_ptr<KV2FirmwareImage>& image,
                                     bool patchSerial, const ProbeFinder& finder);
    // Opens the single attached generation-2 device and confirms that its bootloader
    // answers (one ReadInfo: the answer read may be a late one of an earlier request, which
    // the download's pairing finds and sets aside); the link belongs to the caller. Throws
    // "No devices connected", "Multiple devices connected", "Bootloader not running" or the
    // link's own messages.
    std::unique_ptr<PipeDataLink> connectBootloader();
    // One ReadInfo exchange on an open link, after the link dropped what the device still
    // owes from reads that gave up on it (PipeDataLink::discardStaleReplies), so that an
    // earlier request's late answer is not taken for this one's.
    void readProbeInfo(PipeDataLink& link, ProbeInfo& info);
    // Sends `count` bytes from `data` to `address` on in Program packets of at most 32
    // bytes (none answered).
    void programMemory(PipeDataLink& link, quint16 address, quint16 count, const quint8* data);
    // Has the probe compare `count` bytes at `address` with `data`, block by block, taking
    // each reply read as its block's answer; false at the first block that differs (no
    // later block is sent). The download verifies through its pairing instead.
    bool verifyMemory(PipeDataLink& link, quint16 address, quint16 count, const quint8* data);

Q_SIGNALS:
    // (0, total, text, units) starts a phase, (done, -1, null, null) moves it on.
    void progress(int step, int steps, const char* taskdesk, const char* units);

private:
    // The bootloader as one attempt of the wait reached it: the open link and the answer to
    // ReadInfo.
    struct Connection {
        std::unique_ptr<PipeDataLink> link;
        ProbeInfo info;
    };
    // One attempt of the wait: `device`'s link open, its bootloader answering.
    Connection reachBootloader(const UsbDeviceInfo& device);
    // The wait for the bootloader, reported as progress.
    Connection awaitBootloader(const ProbeFinder& finder);
    // The verify phase as far as `pairing` is in `phase`: sends its requests for `blocks`
    // of `data`, reads a reply for each (and, in the resync, the stale ones past them) and
    // reports each block's real Verify that matched. Throws "Application download verify
    // failed" at the first answer the pairing does not expect, and on a time-out while the
    // resync reads without sending: the pattern did not come.
    void pairedVerify(PipeDataLink& link, ReplyPairing& pairing, ReplyPairing::Phase phase,
                      const QList<kv2::Block>& blocks, const quint8* data, int& verified);
};
