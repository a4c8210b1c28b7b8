#pragma once

#include "device/OwedReplies.h"
#include "device/UsbDeviceList.h"
#include "device/UsbOpenError.h"
#include "device/UsbPipes.h"

#include <memory>

// The USB platform seam: how devices are found and opened. One backend is chosen at
// start-up for the whole process (the Linux one, or the emulated bus).
class UsbBackend {
public:
    UsbBackend() = default;
    UsbBackend(const UsbBackend&) = delete;
    UsbBackend& operator=(const UsbBackend&) = delete;
    virtual ~UsbBackend();

    // Every device present now, whatever its vendor. Never throws.
    virtual UsbDeviceList enumerate() = 0;
    // Opens the data pipes of a device found by enumerate(). Throws UsbOpenError ("device
    // already in use" when another program holds the device, "cannot open device driver"
    // for every other failure).
    virtual std::unique_ptr<UsbPipes> open(const UsbDeviceInfo& device) = 0;
    // Why the last open failed, for diagnostics.
    virtual QString lastError() const { return QString(); }
    // Where the backend watches its transfers (TracingUsbBackend): the reason behind the
    // last failure of an open or a transfer, and how many failures it has seen, so that a
    // caller can tell whether a failure of its own came with a reason.
    virtual QString lastFailureReason() const { return lastError(); }
    virtual int failuresSeen() const { return 0; }

    // The replies the devices of this bus still owe (reads the links gave up on), kept as
    // long as the backend, which outlives every link opened through it.
    OwedReplies& owedReplies() { return owed; }

private:
    OwedReplies owed;
};

// The process-wide backend. Until one is installed it is the Linux backend.
UsbBackend& usbBackend();
// Replaces the process-wide backend; returns the previous one.
std::unique_ptr<UsbBackend> installUsbBackend(std::unique_ptr<UsbBackend> backend);

// Installs a backend for the lifetime of this object (tests), then restores the previous.
class ScopedUsbBackend {
public:
    explicit ScopedUsbBackend(std::unique_ptr<UsbBackend> backend);
    ~ScopedUsbBackend();
    ScopedUsbBackend(const ScopedUsbBackend&) = delete;
    ScopedUsbBackend& operator=(const ScopedUsbBackend&) = delete;

private:
    std::unique_ptr<UsbBackend> previous;
};
