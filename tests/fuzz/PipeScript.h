#pragma once

// The probe's side of the USB seam, read from a fuzz input: one answer for every operation
// the host performs on the seam, in the order it performs them. The same grammar is
// written by the transcript classes below, which record what a real (emulated) probe
// answered, so that a clean session can seed the fuzzer.
//
//   read       byte R. R % 8: 0 to 5 completed, 6 timed out (the read waits out its
//              time-out), 7 failed. R / 8: the milliseconds the transfer took (0 to 31).
//              A completed read then has a count byte N (cut to the length the host asked
//              for) and N bytes (fewer when the script ends first).
//   write      byte W. W % 16: 15 failed, 14 timed out, 13 took half the bytes, anything
//              else completed whole. W / 16: the milliseconds it took.
//   control    byte C, for the pipe reset and for every vendor request: 0xFF stalls.
//   open       byte O: 0xFF "device already in use", 0xFE any other refusal, else opened.
//   enumerate  byte E: E % 4 devices, each then a byte D: product id {2, 0xFF, 3, 2}[D % 4],
//              D & 4 a serial number one character shorter than the probe's, D & 8
//              another vendor than the probe's.
//
// Once the script has ended, every transfer fails, every control request stalls, opening
// is refused and enumerations find nothing, so that whatever the host does comes to an end.
#include "FuzzInput.h"

#include "app/Clock.h"
#include "device/UsbBackend.h"
#include "device/UsbDeviceInfo.h"
#include "device/UsbPipes.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <vector>

namespace pipescript {

constexpr quint8 READ_TIMED_OUT = 6;
constexpr quint8 READ_FAILED = 7;
constexpr int READ_OUTCOMES = 8;
constexpr quint8 WRITE_FAILED = 15;
constexpr quint8 WRITE_TIMED_OUT = 14;
constexpr quint8 WRITE_HALF = 13;
constexpr int WRITE_OUTCOMES = 16;
constexpr quint8 CONTROL_STALLS = 0xFF;
constexpr quint8 OPEN_BUSY = 0xFF;
constexpr quint8 OPEN_REFUSED = 0xFE;
constexpr int MAX_DEVICES = 3;
constexpr quint16 PRODUCT_IDS[4] = {0x0002, 0x00FF, 0x0003, 0x0002};
constexpr quint8 DEVICE_SHORT_SERIAL = 4;
constexpr quint8 DEVICE_OTHER_VENDOR = 8;
constexpr quint16 OTHER_VENDOR_ID = 0x0403;
// The serial number of a scripted probe (the length of the generated images' field).
inline const QString PROBE_SERIAL = QStringLiteral("K2000001");

}  // namespace pipescript

// What the host did on the scripted seam, for the targets' checks.
struct PipeLog {
    // A copy of `length` bytes at `bytes` that lives as long as the log: kept in chunks
    // that never move, so that logging a transfer costs no allocation of its own.
    QByteArray keep(const quint8* bytes, int length);

    QList<QByteArray> writes;           // the bytes of every write the probe took, in order
    QList<QByteArray> reads;            // the bytes of every completed read, in order
    QList<qsizetype> writesBeforeRead;  // for each of them, the writes taken before it
    int transfers = 0;                  // reads and writes attempted
    bool lastReadCompleted = false;
    int pipesOpen = 0;  // scripted pipes not yet closed
    int opens = 0;
    int enumerations = 0;

    QByteArray written() const;
    // The data bytes of every completed read, without the FTDI-style modem-status bytes
    // that open each packet of a generation-3 probe.
    QByteArray readData() const;

private:
    static constexpr qsizetype CHUNK = 16 * 1024;
    std::vector<std::unique_ptr<char[]>> chunks;
    qsizetype used = CHUNK;  // of the last chunk
};

// The generation-3 probe that the scripted backend lists.
UsbDeviceInfo scriptedGeneration3Probe();

// Pipes whose every answer comes from the script; transfers take virtual time.
class ScriptedPipes : public UsbPipes {
public:
    ScriptedPipes(FuzzInput& script, VirtualClock& clock, PipeLog& log);
    ~ScriptedPipes() override;

    TransferResult read(quint8* buffer, int maxLength, quint32 timeoutMs) override;
    TransferResult write(const quint8* buffer, int length, quint32 timeoutMs) override;
    bool resetPipe(quint8 flag) override;
    bool vendorRequest(quint8 request, quint16 value, quint16 index,
                       const QByteArray& payload) override;

private:
    bool control();

    FuzzInput& script;
    VirtualClock& clock;
    PipeLog& log;
};

// A bus whose enumerations and openings come from the script too.
class ScriptedBackend : public UsbBackend {
public:
    ScriptedBackend(FuzzInput& script, VirtualClock& clock, PipeLog& log);

    UsbDeviceList enumerate() override;
    std::unique_ptr<UsbPipes> open(const UsbDeviceInfo& device) override;

private:
    FuzzInput& script;
    VirtualClock& clock;
    PipeLog& log;
};

// Forwards to real pipes and appends to `script` what they answered, in the grammar above.
class TranscriptPipes : public UsbPipes {
public:
    TranscriptPipes(std::unique_ptr<UsbPipes> pipes, QByteArray& script);

    TransferResult read(quint8* buffer, int maxLength, quint32 timeoutMs) override;
    TransferResult write(const quint8* buffer, int length, quint32 timeoutMs) override;
    bool resetPipe(quint8 flag) override;
    bool vendorRequest(quint8 request, quint16 value, quint16 index,
                       const QByteArray& payload) override;

private:
    std::unique_ptr<UsbPipes> pipes;
    QByteArray& script;
};

// The same for a whole bus: enumerations (generation-2 probes with the probe's serial
// number), openings and the pipes opened.
class TranscriptBackend : public UsbBackend {
public:
    TranscriptBackend(UsbBackend& bus, QByteArray& script);

    UsbDeviceList enumerate() override;
    std::unique_ptr<UsbPipes> open(const UsbDeviceInfo& device) override;

private:
    UsbBackend& bus;
    QByteArray& script;
};
