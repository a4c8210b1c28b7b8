#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Outcome of one transfer on a pipe.
struct TransferResult {
    enum Status {
        Completed,   // the transfer finished; `count` bytes moved
        TimedOut,    // it did not finish in time and was cancelled before the call returned
        NotStarted,  // the platform refused to start it (device gone, bad request)
        Failed       // it was started but ended in an error
    };
    Status status = Failed;
    int count = 0;  // bytes moved; meaningful when Completed

    static TransferResult completed(int count) { return {Completed, count}; }
    static TransferResult timedOut() { return {TimedOut, 0}; }
    static TransferResult notStarted() { return {NotStarted, 0}; }
    static TransferResult failed() { return {Failed, 0}; }
    bool ok() const { return status == Completed; }
};

// The two data pipes of one open probe and its two control requests. This is the whole
// platform contract under the data links: a Linux implementation on libusb and the
// emulator's implementation provide it; the links keep all framing, buffering, time-out
// rules and messages above it. Closing happens in the destructor.
class UsbPipes {
public:
    UsbPipes() = default;
    UsbPipes(const UsbPipes&) = delete;
    UsbPipes& operator=(const UsbPipes&) = delete;
    virtual ~UsbPipes();

    // One transfer from the probe of at most `maxLength` bytes, waiting at most `timeoutMs`.
    // A transfer that does not complete in time is cancelled before this returns, so it can
    // never complete into `buffer` later. A completed count never exceeds `maxLength`.
    virtual TransferResult read(quint8* buffer, int maxLength, quint32 timeoutMs) = 0;
    // One transfer of `length` bytes to the probe, waiting at most `timeoutMs`; cancelled
    // like a read when it does not complete in time.
    virtual TransferResult write(const quint8* buffer, int length, quint32 timeoutMs) = 0;
    // The pipe-reset request with its one-byte flag.
    virtual bool resetPipe(quint8 flag) = 0;
    // An FTDI-style vendor request (a control OUT transfer).
    virtual bool vendorRequest(quint8 request, quint16 value, quint16 index,
                               const QByteArray& payload) = 0;
    // Why the last operation failed, for diagnostics (never shown instead of a message).
    virtual QString lastError() const { return QString(); }
};
