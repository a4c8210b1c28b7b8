#include "FaultingFunction.h"

#include "emu/EmulatedDevice.h"

const char* frameFaultName(FrameFault fault) {
    switch (fault) {
        case FrameFault::Unplug:
            return "unplug";
        case FrameFault::TimeOut:
            return "time-out";
        case FrameFault::Garbage:
            return "garbage";
    }
    return "?";
}

FaultingFunction::FaultingFunction(std::unique_ptr<UsbFunction> function)
    : inner(std::move(function)) {}

FaultingFunction::~FaultingFunction() {
    inner->setDeviceControl(nullptr);
}

void FaultingFunction::attachTo(EmulatedDevice& carrier) {
    device = &carrier;
    inner->setDeviceControl(&carrier);
}

void FaultingFunction::arm(int frame, FrameFault planFault) {
    counted = 0;
    planned = frame;
    fault = planFault;
    hit = false;
    garbleIn = false;
    garbleOut = false;
}

bool FaultingFunction::due() {
    const bool now = counted == planned;
    ++counted;
    if (now) {
        hit = true;
        if (fault == FrameFault::Unplug && device != nullptr) {
            // Called while the device serves the frame, on its own (recursive) lock.
            device->unplug();
        }
    }
    return now;
}

quint32 FaultingFunction::bulkOutDelay(quint32 nowMs) {
    garbleOut = false;  // a transfer the host gave up on is never garbled later
    if (due()) {
        switch (fault) {
            case FrameFault::Unplug:
                return 0;  // the device is gone: the transfer fails
            case FrameFault::TimeOut:
                return NEVER;
            case FrameFault::Garbage:
                garbleOut = true;
                break;
        }
    }
    return inner->bulkOutDelay(nowMs);
}

void FaultingFunction::bulkOut(const QByteArray& data, quint32 nowMs) {
    if (garbleOut) {
        garbleOut = false;
        QByteArray garbled = data;
        for (char& byte : garbled) {
            byte = char(~byte);
        }
        inner->bulkOut(garbled, nowMs);
        return;
    }
    inner->bulkOut(data, nowMs);
}

quint32 FaultingFunction::bulkInDelay(quint32 nowMs) {
    garbleIn = false;
    if (due()) {
        switch (fault) {
            case FrameFault::Unplug:
                return 0;
            case FrameFault::TimeOut:
                return NEVER;
            case FrameFault::Garbage:
                garbleIn = true;
                break;
        }
    }
    return inner->bulkInDelay(nowMs);
}

int FaultingFunction::bulkIn(quint8* buffer, int maxLength, quint32 nowMs) {
    const int count = inner->bulkIn(buffer, maxLength, nowMs);
    if (garbleIn) {
        garbleIn = false;
        for (int i = 0; i < count; ++i) {
            buffer[i] = quint8(~buffer[i]);
        }
    }
    return count;
}

bool FaultingFunction::controlOut(const ControlRequest& request, quint32 nowMs) {
    return !due() && inner->controlOut(request, nowMs);
}

bool FaultingFunction::clearHalt(quint8 endpoint, quint32 nowMs) {
    return !due() && inner->clearHalt(endpoint, nowMs);
}
