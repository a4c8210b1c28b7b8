#pragma once

#include "emu/ByteStreamFunction.h"
#include "emu/Gen3LoaderFault.h"
#include "gen3/LoaderFrames.h"
#include "gen3/LoaderInfo.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <array>
#include <optional>

class TransportFaults;

// The emulated loader's own working times, per TRANSFER_CHUNK (8192) bytes of range.
struct Gen3LoaderTiming {
    quint32 replyMs = 1;  // any command
    quint32 eraseMsPerChunk = 30;
    quint32 writeMsPerChunk = 25;  // programming, including the data's time on the wire
    quint32 crcMsPerChunk = 5;
    // Answers everything at once (tests that count transfers, benchmarks).
    static Gen3LoaderTiming instant() { return {0, 0, 0, 0}; }
};

struct Gen3LoaderSettings {
    quint32 memorySize = 256 * 1024;  // bytes from IMAGE_BASE_ADDRESS
    int busyReplies = 0;              // connect answers busy this many times first
    quint16 loaderVersionMajor = 3;
    quint16 loaderVersionMinor = 1;
    Gen3LoaderTiming timing;
};

// The resident loader of a generation-3 probe, behind an FtdiChip. It reads the host's
// byte stream as command frames, whatever pieces they arrive in, and answers them as the
// loader does:
//  - A frame is acted on only when its tag is one of the six commands and the command
//    magic follows it. Anything else is dropped one byte at a time until a frame lines up
//    again; no reply is sent for it (a real loader resynchronises the same way).
//  - connect answers busy (0xFF) as many times as it is told (setBusyReplies), then
//    success; erase, write and CRC need a connection and are refused (status 0) without
//    one, as are ranges that leave the memory. disconnect ends the connection.
//  - The memory starts at IMAGE_BASE_ADDRESS and behaves like flash: erase fills 0xFF,
//    write can only clear bits (it ANDs the data in), so an image written without an erase
//    first fails its CRC check. A write swallows its `count` data bytes even when refused.
//  - get loader info reports image state 1 exactly when the memory at IMAGE_BASE_ADDRESS
//    starts with a header carrying the image marker, and sends that header along.
//  - Replies go out after the command (for a write: its last data byte) arrived, delayed
//    by what the loader would take: erase, programming and CRC times scale with the range.
class Gen3Loader : public ByteStreamFunction {
public:
    using Timing = Gen3LoaderTiming;
    using Settings = Gen3LoaderSettings;

    // Memory sizes the loader accepts: room for an image header, and within the 32-bit
    // address space and a sane allocation.
    static constexpr quint32 MIN_MEMORY_SIZE = FirmwareImageHeader::SIZE;
    static constexpr quint32 MAX_MEMORY_SIZE = 256u * 1024 * 1024;

    // One command the loader carried out (or refused), in order of arrival.
    struct Command {
        LoaderCommand command = LoaderCommand::Connect;
        quint32 address = 0;  // ranged commands only
        quint32 count = 0;    // ranged commands only
        quint32 timeMs = 0;   // when its frame (for a write: its last data byte) arrived
        friend bool operator==(const Command&, const Command&) = default;
    };

    // The memory starts erased (no image installed). `settings.memorySize` is clamped to
    // MIN_MEMORY_SIZE..MAX_MEMORY_SIZE.
    explicit Gen3Loader(const Settings& configuration = Settings());

    // The memory from IMAGE_BASE_ADDRESS. It is allocated when first used: a process that
    // emulates many probes and speaks to few (a many-probe install's child) holds only the
    // memory of those it speaks to.
    const QByteArray& memory() const;
    qsizetype memorySize() const { return qsizetype(settings.memorySize); }
    // Puts `image` into the memory at IMAGE_BASE_ADDRESS as a factory would (the rest stays
    // as it is); false when it does not fit.
    bool loadImage(QByteArrayView image);
    // What get loader info would report now.
    LoaderInfo loaderInfo() const;
    bool connected() const { return isConnected; }

    void setBusyReplies(int count) { busyLeft = count; }
    void injectFault(const Gen3LoaderFault& fault) { faults << fault; }
    // Where an Unplug fault takes the probe off the bus (the faults of the device that
    // carries this loader). Without it an Unplug fault does nothing.
    void setTransportFaults(TransportFaults* transport) { transportFaults = transport; }

    QList<Command> commandLog() const { return log; }
    // Only the commands of one kind, in order.
    QList<Command> commands(LoaderCommand command) const;
    // Bytes dropped because they did not start a frame with the command magic.
    qint64 ignoredBytes() const { return ignored; }

    void received(const QByteArray& bytes, quint32 nowMs, ByteStreamPort& host) override;

private:
    // A write whose data is still arriving.
    struct PendingWrite {
        quint32 address = 0;
        quint32 count = 0;
        quint32 received = 0;
        bool accepted = false;  // connected, in range and not refused by a fault
        std::optional<Gen3LoaderFault> fault;
    };

    void parse(quint32 nowMs, ByteStreamPort& host);
    // Takes data of the pending write from `input` at `pos`; returns the new position.
    qsizetype takeWriteData(qsizetype pos, quint32 nowMs, ByteStreamPort& host);
    void execute(const CommandFrame& frame, quint32 nowMs, ByteStreamPort& host);
    std::optional<Gen3LoaderFault> faultFor(LoaderCommand command);
    bool inMemory(quint32 address, quint32 count) const;
    static quint32 scaled(quint32 count, quint32 msPerChunk);
    void reply(QByteArray bytes, quint32 delayMs, const std::optional<Gen3LoaderFault>& fault,
               ByteStreamPort& host) const;
    QByteArray statusReply(quint8 commandTag, quint8 status) const;

    Settings settings;
    mutable QByteArray flash;  // empty until memory() is first called
    QByteArray factoryImage;   // loaded while the memory is not yet allocated
    QByteArray input;          // bytes received and not yet taken
    std::optional<PendingWrite> pendingWrite;
    bool isConnected = false;
    int busyLeft = 0;
    QList<Gen3LoaderFault> faults;
    std::array<int, 6> seen{};  // commands of each kind so far
    TransportFaults* transportFaults = nullptr;
    QList<Command> log;
    qint64 ignored = 0;
};
