#pragma once

#include "emu/UsbFunction.h"

#include <QString>

#include <memory>
#include <ostream>

class EmulatedDevice;

// What happens to the planned frame.
enum class FrameFault {
    Unplug,   // the probe drops off the bus as the frame begins: it fails, and so does all after
    TimeOut,  // the probe never completes the transfer (a control request stalls)
    Garbage   // the bytes are complemented: an IN reply as the host receives it, an OUT frame
              // as the probe receives it (a control request stalls)
};
const char* frameFaultName(FrameFault fault);
inline void PrintTo(FrameFault fault, std::ostream* os) {
    *os << frameFaultName(fault);
}

// Stands between an emulated probe's device and its function (the FTDI-style chip of a
// generation-3 probe, the raw pipe of a generation-2 one) and counts the frames that reach
// the function: every bulk transfer in either direction and every control request. One
// planned frame gets a fault. Frames are counted from the last arm().
class FaultingFunction : public UsbFunction {
public:
    explicit FaultingFunction(std::unique_ptr<UsbFunction> function);
    ~FaultingFunction() override;

    // The device that carries this function, which an Unplug fault takes off the bus; the
    // function behind gets it as its device control too.
    void attachTo(EmulatedDevice& carrier);
    // Plans `fault` for the frame with index `frame` (0: the next frame); a negative index
    // plans none. Restarts the count.
    void arm(int frame, FrameFault fault);
    // Plans no fault from now on; the count goes on.
    void disarm() { planned = -1; }
    int frames() const { return counted; }
    bool fired() const { return hit; }
    UsbFunction& function() const { return *inner; }

    void bulkOut(const QByteArray& data, quint32 nowMs) override;
    quint32 bulkInDelay(quint32 nowMs) override;
    int bulkIn(quint8* buffer, int maxLength, quint32 nowMs) override;
    quint32 bulkOutDelay(quint32 nowMs) override;
    bool controlOut(const ControlRequest& request, quint32 nowMs) override;
    bool clearHalt(quint8 endpoint, quint32 nowMs) override;

private:
    // Counts a frame; the fault planned for it, if it is the planned one.
    bool due();

    std::unique_ptr<UsbFunction> inner;
    EmulatedDevice* device = nullptr;
    int counted = 0;
    int planned = -1;
    FrameFault fault = FrameFault::Unplug;
    bool hit = false;
    bool garbleIn = false;
    bool garbleOut = false;
};
