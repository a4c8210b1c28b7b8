#pragma once

#include "gen2/ProbeInfo.h"

#include <QObject>
#include <QtGlobal>

#include <memory>

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

    // The whole update: EnterBootloader on the single attached generation-2 device, the
    // wait for its bootloader (60 attempts, one second apart), the size check, the serial
    // patch (with the serial number enumerated before the restart, when `patchSerial`),
    // BeginDownload, Program, Verify, a closing ReadInfo that proves the replies were read
    // in step, and EndDownload. Any failure after EnterBootloader leaves the probe in its
    // bootloader; no EndDownload is sent then.
    void downloadApplication(KV2FirmwareImage& image, bool patchSerial);
    // Opens the single attached generation-2 device and confirms that its bootloader
    // answers; the link belongs to the caller. Throws "No devices connected", "Multiple
    // devices connected", "Bootloader not running" or the link's own messages.
    std::unique_ptr<PipeDataLink> connectBootloader();
    // One ReadInfo exchange on an open link, after the link dropped what the device still
    // owes from reads that gave up on it (PipeDataLink::discardStaleReplies), so that an
    // earlier request's late answer is not taken for this one's.
    void readProbeInfo(PipeDataLink& link, ProbeInfo& info);
    // Sends `count` bytes from `data` to `address` on in Program packets of at most 32
    // bytes (none answered).
    void programMemory(PipeDataLink& link, quint16 address, quint16 count, const quint8* data);
    // Has the probe compare `count` bytes at `address` with `data`, block by block; false
    // at the first block that differs (no later block is sent).
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
    Connection reachBootloader();
    // After the last Verify, before EndDownload: proves that every reply read during the
    // download was the answer to the request it was read for. Throws "Application download
    // verify failed" when it cannot.
    void confirmInStep(const Connection& connection);
};
