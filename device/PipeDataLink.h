#pragma once

#include "device/HDataLink.h"
#include "device/UsbDeviceInfo.h"
#include "device/UsbPipes.h"

#include <QString>

#include <memory>

class OwedReplies;

// The link to a generation-2 probe and its bootloader: raw bytes over the two pipes, no
// set-up, a time-out of 10000 ms per wait, and every failure thrown as HException.
//
// The probe's replies carry no sequence numbers, so the link keeps count of the bytes it
// gave up waiting for, and keeps the bytes such a read did receive (OwedReplies, per device
// and across links): the next read continues the same reply, so replies never lose their
// boundaries, and an exchange that must be sure of what it reads (a ReadInfo asked outside a
// download) first calls discardStaleReplies(). A download pairs its replies by their known
// answers instead (ReplyPairing).
class PipeDataLink : public HDataLink {
public:
    static constexpr int DEFAULT_PIPE_TIMEOUT_MS = 10000;
    // The message of a read that timed out, which callers may tell from other failures.
    static constexpr const char* READ_TIMED_OUT = "read operation timed out";
    // How long the link listens for a stale reply that is already on its way: more than a
    // probe takes to answer a request it has (a few milliseconds), far less than a time-out.
    static constexpr quint32 STALE_REPLY_QUIET_MS = 50;
    // How long after a read gave up its reply may still come and is waited for by
    // discardStaleReplies; a later one is presumed lost.
    static constexpr quint32 STALE_REPLY_GRACE_MS = 2000;
    // Stale bytes discarded at most in one call: more than any number of abandoned reads
    // leaves behind; a device that keeps sending beyond it is not answering requests.
    static constexpr int MAX_STALE_BYTES = 64 * 64;

    explicit PipeDataLink(const UsbDeviceInfo& device);

    // Gathers exactly `length` bytes over as many transfers as the probe needs and returns
    // `length`, starting with the bytes a read that gave up had received. Throws "read
    // operation failed (I/O pending)" when a transfer cannot be started, "read operation
    // timed out" when one does not complete within the time-out (or no byte arrives for
    // longer than that), "read operation failed (GetOverlappedResult)" when one ends in an
    // error. A read that times out keeps what it received for the next read, and the bytes
    // it did not receive are recorded as owed by the device.
    int read(void* buffer, int length) override;
    // One transfer; returns the bytes written, which callers compare with `length`. Throws
    // "write operation failed" or "write operation timed out".
    int write(const void* buffer, int length) override;
    // The raw pipes have no buffers to purge.
    bool purge() override { return true; }

    // Brings the link in step before a request: drops the bytes kept from a read that gave
    // up, reads and drops the bytes the device owes (waiting for them until
    // STALE_REPLY_GRACE_MS have passed since they were abandoned), then whatever else
    // arrives until the device stays quiet for STALE_REPLY_QUIET_MS (replies left by another
    // process, or on their way). Returns the bytes dropped. A transfer that fails throws as
    // read does.
    int discardStaleReplies();

private:
    // Reads and drops whatever arrives until the device stays quiet for `quietMs`; returns
    // the bytes dropped (at most MAX_STALE_BYTES). Throws as read does on a failed transfer.
    int discardIncoming(quint32 quietMs);
    // One transfer of at most a packet that waits at most `waitMs`; the count received, or
    // -1 when it timed out. Throws on a failed transfer.
    int readSome(quint8* buffer, int maxLength, quint32 waitMs);

    std::unique_ptr<UsbPipes> pipes;
    QString devicePath;
    OwedReplies* owed;
};
