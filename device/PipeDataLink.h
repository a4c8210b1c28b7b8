#pragma once

#include "device/HDataLink.h"
#include "device/UsbDeviceInfo.h"
#include "device/UsbPipes.h"

#include <memory>

// The link to a generation-2 probe and its bootloader: raw bytes over the two pipes, no
// set-up, a time-out of 10000 ms per wait, and every failure thrown as HException.
class PipeDataLink : public HDataLink {
public:
    static constexpr int DEFAULT_PIPE_TIMEOUT_MS = 10000;
    // The message of a read that timed out, which callers may tell from other failures.
    static constexpr const char* READ_TIMED_OUT = "read operation timed out";

    explicit PipeDataLink(const UsbDeviceInfo& device);
    ~PipeDataLink() override;

    // Gathers exactly `length` bytes over as many transfers as the probe needs and returns
    // `length`. Throws "read operation failed (I/O pending)" when a transfer cannot be
    // started, "read operation timed out" when one does not complete within the time-out
    // (or no byte arrives for longer than that), "read operation failed
    // (GetOverlappedResult)" when one ends in an error.
    int read(void* buffer, int length) override;
    // One transfer; returns the bytes written, which callers compare with `length`. Throws
    // "write operation failed" or "write operation timed out".
    int write(const void* buffer, int length) override;
    // The raw pipes have no buffers to purge.
    bool purge() override { return true; }

private:
    std::unique_ptr<UsbPipes> pipes;
};
