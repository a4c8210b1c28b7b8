#pragma once

// A byte link to a device: read and write with counts. Links may be deleted through this
// interface; they are not copyable.
class HIOInterface {
public:
    HIOInterface() = default;
    HIOInterface(const HIOInterface&) = delete;
    HIOInterface& operator=(const HIOInterface&) = delete;
    virtual ~HIOInterface();

    virtual int read(void* buffer, int length) = 0;
    virtual int write(const void* buffer, int length) = 0;
};
