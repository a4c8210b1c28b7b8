#pragma once

#include "device/HIOInterface.h"

#include <QtGlobal>

#include <memory>

class UsbDeviceInfo;
class UsbPipes;

// A byte link with a time-out for every wait and a purge of the device's buffers.
// Constructing a concrete link opens it; destroying it closes it.
class HDataLink : public HIOInterface {
public:
    static constexpr quint32 DEFAULT_TIMEOUT_MS = 1000;
    // Device paths are limited so that the path with a backslash and a pipe name
    // ("\PIPE00") fits a 256-byte name buffer with its terminating zero.
    static constexpr int PIPE_NAME_BUFFER = 256;
    static constexpr int PIPE_SUFFIX_LENGTH = 7;

    int read(void* buffer, int length) override = 0;
    int write(const void* buffer, int length) override = 0;
    virtual bool purge() = 0;
    // Applies to every later wait of this link.
    virtual void setTimeout(int milliseconds);

    quint32 timeout() const { return timeoutMs; }

protected:
    // Opens the device's pipes through the process-wide USB backend. Throws "device already
    // in use" or "cannot open device driver"; a device path too long for a pipe name is
    // refused with the latter rather than shortened.
    static std::unique_ptr<UsbPipes> openDevicePipes(const UsbDeviceInfo& device);

    quint32 timeoutMs = DEFAULT_TIMEOUT_MS;  // compared as an unsigned number
};
