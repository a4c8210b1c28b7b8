#pragma once

#include "device/HIOInterface.h"

#include <QtGlobal>

// A byte link with a time-out for every wait and a purge of the device's buffers.
// Constructing a concrete link opens it; destroying it closes it.
class HDataLink : public HIOInterface {
public:
    static constexpr quint32 DEFAULT_TIMEOUT_MS = 1000;

    int read(void* buffer, int length) override = 0;
    int write(const void* buffer, int length) override = 0;
    virtual bool purge() = 0;
    // Applies to every later wait of this link.
    virtual void setTimeout(int milliseconds);

    quint32 timeout() const { return timeoutMs; }

protected:
    quint32 timeoutMs = DEFAULT_TIMEOUT_MS;  // compared as an unsigned number
};
