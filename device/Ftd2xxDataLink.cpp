#include "device/Ftd2xxDataLink.h"

#include "app/Clock.h"
#include "app/HException.h"

#include <algorithm>
#include <cstring>

Ftd2xxDataLink::Ftd2xxDataLink(const UsbDeviceInfo& device) : pipes(openDevicePipes(device)) {
    // A throw from here on destroys `pipes`, which closes the device.
    if (!pipes->resetPipe(ftdi::PIPE_RESET_FLAG)) {
        throw HException("Cannot set reset on pipe");
    }
    if (!pipes->vendorRequest(ftdi::REQUEST_SET_LATENCY_TIMER, ftdi::LATENCY_TIMER_MS,
                              ftdi::PORT_INDEX, QByteArray())) {
        throw HException("Cannot set latency timer");
    }
    purge();
}

bool Ftd2xxDataLink::purge() {
    if (!pipes->vendorRequest(ftdi::REQUEST_RESET, ftdi::PURGE_RX, ftdi::PORT_INDEX,
                              QByteArray())) {
        throw HException("cannot purge RX");
    }
    if (!pipes->vendorRequest(ftdi::REQUEST_RESET, ftdi::PURGE_TX, ftdi::PORT_INDEX,
                              QByteArray())) {
        throw HException("cannot purge TX");
    }
    return true;
}

int Ftd2xxDataLink::read(void* buffer, int length) {
    if (length == 0) {
        return 0;
    }
    if (length < 0 || buffer == nullptr) {
        return -1;
    }
    auto* out = static_cast<quint8*>(buffer);
    int delivered = 0;
    if (pendingCount > 0) {
        delivered = std::min(pendingCount, length);
        std::memcpy(out, packet.data() + pendingData, static_cast<size_t>(delivered));
        pendingData += delivered;
        pendingCount -= delivered;
        if (delivered == length) {
            return length;
        }
    }

    const quint32 start = tickCountMs();
    for (;;) {
        const TransferResult result = pipes->read(packet.data(), ftdi::PACKET_SIZE, timeoutMs);
        if (!result.ok() || result.count < ftdi::MODEM_STATUS_BYTES ||
            result.count > ftdi::PACKET_SIZE) {
            return -1;
        }
        const int data = result.count - ftdi::MODEM_STATUS_BYTES;
        if (data == 0) {
            // Unsigned difference: correct across a wrap of the tick count.
            if (static_cast<quint32>(tickCountMs() - start) > timeoutMs) {
                return delivered;
            }
            continue;
        }
        const int wanted = length - delivered;
        const int taken = std::min(data, wanted);
        std::memcpy(out + delivered, packet.data() + ftdi::MODEM_STATUS_BYTES,
                    static_cast<size_t>(taken));
        delivered += taken;
        if (data > taken) {
            pendingData = ftdi::MODEM_STATUS_BYTES + taken;
            pendingCount = data - taken;
        }
        if (delivered == length) {
            return length;
        }
    }
}

int Ftd2xxDataLink::write(const void* buffer, int length) {
    if (length < 0 || (buffer == nullptr && length > 0)) {
        return -1;
    }
    const TransferResult result =
        pipes->write(static_cast<const quint8*>(buffer), length, timeoutMs);
    if (!result.ok() || result.count < 0 || result.count > length) {
        return -1;
    }
    return result.count;
}
