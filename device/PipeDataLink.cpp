#include "device/PipeDataLink.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/OwedReplies.h"
#include "device/UsbBackend.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// A transfer of at most this many bytes takes a packet and its continuation.
constexpr int DISCARD_CHUNK = 64;

qint32 signedDifference(quint32 later, quint32 earlier) {
    return static_cast<qint32>(later - earlier);
}

[[noreturn]] void throwReadFailure(TransferResult::Status status) {
    if (status == TransferResult::NotStarted) {
        throw HException("read operation failed (I/O pending)");
    }
    throw HException("read operation failed (GetOverlappedResult)");
}

}  // namespace

PipeDataLink::PipeDataLink(const UsbDeviceInfo& device)
    : devicePath(device.devicePath()), owed(&usbBackend().owedReplies()) {
    setTimeout(DEFAULT_PIPE_TIMEOUT_MS);
    pipes = openDevicePipes(device);
}

int PipeDataLink::read(void* buffer, int length) {
    if (length == 0) {
        return 0;
    }
    if (length < 0 || buffer == nullptr) {
        throw HException("read operation failed (I/O pending)");
    }
    auto* out = static_cast<quint8*>(buffer);
    // What the device owes, settled as bytes arrive and put back on every way out.
    struct Settlement {
        OwedReplies& replies;
        const QString& path;
        OwedReplies::Owed owed;
        ~Settlement() { replies.put(path, owed); }
    } settlement{*owed, devicePath, owed->take(devicePath)};
    OwedReplies::Owed& debt = settlement.owed;
    // A read that gave up kept what it had received: this one continues that reply.
    int received = int(std::min<qsizetype>(debt.received.size(), length));
    std::memcpy(out, debt.received.constData(), size_t(received));
    debt.received.remove(0, received);
    quint32 lastArrival = tickCountMs();
    while (received < length) {
        const int count = readSome(out + received, length - received, timeoutMs);
        // Empty transfers are no progress: a device that sends nothing else must not hold
        // the caller beyond the time-out.
        if (count < 0 || (count == 0 && quint32(tickCountMs() - lastArrival) > timeoutMs)) {
            // What arrived stays for the next read; what did not is owed and may yet come.
            // It is the start of what the device already owed, if it owed more.
            debt.received = QByteArray(reinterpret_cast<const char*>(out), received);
            debt.bytes = std::max(debt.bytes, length - received);
            debt.deadlineMs = tickCountMs() + STALE_REPLY_GRACE_MS;
            throw HException(READ_TIMED_OUT);
        }
        received += count;
        // The first bytes to arrive are the owed ones.
        debt.bytes = std::max(0, debt.bytes - count);
        lastArrival = count > 0 ? tickCountMs() : lastArrival;
    }
    return received;
}

int PipeDataLink::readSome(quint8* buffer, int maxLength, quint32 waitMs) {
    const TransferResult result = pipes->read(buffer, maxLength, waitMs);
    switch (result.status) {
        case TransferResult::NotStarted:
        case TransferResult::Failed:
            throwReadFailure(result.status);
        case TransferResult::TimedOut:
            return -1;
        case TransferResult::Completed:
            break;
    }
    if (result.count < 0 || result.count > maxLength) {
        throw HException("read operation failed (GetOverlappedResult)");
    }
    return result.count;
}

int PipeDataLink::discardStaleReplies() {
    std::array<quint8, DISCARD_CHUNK> scratch{};
    const OwedReplies::Owed debt = owed->take(devicePath);
    int dropped = int(debt.received.size());
    int owedBytes = debt.bytes;
    // Owed bytes come in order ahead of anything else: wait for them until the deadline.
    while (owedBytes > 0 && dropped < MAX_STALE_BYTES) {
        const qint32 left = signedDifference(debt.deadlineMs, tickCountMs());
        if (left <= 0) {
            break;  // presumed lost
        }
        const int count = readSome(scratch.data(), DISCARD_CHUNK, quint32(left));
        if (count < 0) {
            break;
        }
        dropped += count;
        owedBytes -= count;
    }
    return dropped + discardIncoming(STALE_REPLY_QUIET_MS);
}

int PipeDataLink::discardIncoming(quint32 quietMs) {
    std::array<quint8, DISCARD_CHUNK> scratch{};
    int dropped = 0;
    quint32 lastArrival = tickCountMs();
    while (dropped < MAX_STALE_BYTES) {
        const int count = readSome(scratch.data(), DISCARD_CHUNK, quietMs);
        if (count < 0) {
            break;
        }
        if (count == 0) {
            // Empty transfers count as quiet time, as in read().
            if (static_cast<quint32>(tickCountMs() - lastArrival) > quietMs) {
                break;
            }
            continue;
        }
        dropped += count;
        lastArrival = tickCountMs();
    }
    return dropped;
}

int PipeDataLink::write(const void* buffer, int length) {
    if (length < 0 || (buffer == nullptr && length > 0)) {
        throw HException("write operation failed");
    }
    const TransferResult result =
        pipes->write(static_cast<const quint8*>(buffer), length, timeoutMs);
    switch (result.status) {
        case TransferResult::TimedOut:
            throw HException("write operation timed out");
        case TransferResult::NotStarted:
        case TransferResult::Failed:
            throw HException("write operation failed");
        case TransferResult::Completed:
            break;
    }
    if (result.count < 0 || result.count > length) {
        throw HException("write operation failed");
    }
    return result.count;
}
