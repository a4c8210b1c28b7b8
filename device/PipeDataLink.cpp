#include "device/PipeDataLink.h"

#include "app/Clock.h"
#include "app/HException.h"

PipeDataLink::PipeDataLink(const UsbDeviceInfo& device) {
    setTimeout(DEFAULT_PIPE_TIMEOUT_MS);
    pipes = openDevicePipes(device);
}

PipeDataLink::~PipeDataLink() = default;

int PipeDataLink::read(void* buffer, int length) {
    if (length == 0) {
        return 0;
    }
    if (length < 0 || buffer == nullptr) {
        throw HException("read operation failed (I/O pending)");
    }
    auto* out = static_cast<quint8*>(buffer);
    int received = 0;
    quint32 lastArrival = tickCountMs();
    while (received < length) {
        const int wanted = length - received;
        const TransferResult result = pipes->read(out + received, wanted, timeoutMs);
        switch (result.status) {
            case TransferResult::NotStarted:
                throw HException("read operation failed (I/O pending)");
            case TransferResult::TimedOut:
                throw HException(READ_TIMED_OUT);
            case TransferResult::Failed:
                throw HException("read operation failed (GetOverlappedResult)");
            case TransferResult::Completed:
                break;
        }
        if (result.count < 0 || result.count > wanted) {
            throw HException("read operation failed (GetOverlappedResult)");
        }
        if (result.count == 0) {
            // Empty transfers are no progress: a device that sends nothing else must not
            // hold the caller beyond the time-out.
            if (static_cast<quint32>(tickCountMs() - lastArrival) > timeoutMs) {
                throw HException(READ_TIMED_OUT);
            }
            continue;
        }
        received += result.count;
        lastArrival = tickCountMs();
    }
    return received;
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
