#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// A control request as its USB setup packet states it, with the OUT data stage.
struct ControlRequest {
    static constexpr quint8 TYPE_STANDARD_ENDPOINT_OUT = 0x02;  // host to device, endpoint
    static constexpr quint8 TYPE_VENDOR_DEVICE_OUT = 0x40;      // host to device, vendor
    static constexpr quint8 REQUEST_CLEAR_FEATURE = 1;
    static constexpr quint16 FEATURE_ENDPOINT_HALT = 0;

    quint8 requestType = 0;  // bmRequestType
    quint8 request = 0;      // bRequest
    quint16 value = 0;       // wValue
    quint16 index = 0;       // wIndex
    QByteArray data;         // the data stage (wLength bytes)

    bool isClearHalt() const {
        return requestType == TYPE_STANDARD_ENDPOINT_OUT && request == REQUEST_CLEAR_FEATURE &&
               value == FEATURE_ENDPOINT_HALT;
    }
    static ControlRequest clearHalt(quint8 endpoint) {
        return {TYPE_STANDARD_ENDPOINT_OUT, REQUEST_CLEAR_FEATURE, FEATURE_ENDPOINT_HALT, endpoint,
                QByteArray()};
    }
    static ControlRequest vendorOut(quint8 request, quint16 value, quint16 index,
                                    const QByteArray& data = QByteArray()) {
        return {TYPE_VENDOR_DEVICE_OUT, request, value, index, data};
    }
};

// What a function may do to the device that carries it.
class UsbDeviceControl {
public:
    virtual ~UsbDeviceControl() = default;
    // The device drops off the bus now (pipes opened before are dead from here on) and
    // comes back `absentMs` later on the project clock with `productId`, and with
    // `serialNumber` when one is given.
    virtual void reenumerate(quint16 productId, quint32 absentMs,
                             const std::optional<QString>& serialNumber = std::nullopt) = 0;
};

// What a device's firmware does with USB traffic: the bulk OUT bytes it is given, the bulk
// IN transfers it answers (and when), the control OUT requests, and the pipe reset (a
// CLEAR_FEATURE(ENDPOINT_HALT) on a bulk endpoint). Transport-neutral: the in-process
// emulated pipes and the usbdevfs handler of the libusb tests both drive it through
// EmulatedDevice, which adds the transport faults and the frame log in front.
//
// Time is the project clock's millisecond tick, passed in as `nowMs`. A function never
// sleeps: it says how long a transfer takes and the transport waits (virtually in tests,
// really in the demo and under umockdev).
//
// Calls are serialised by the device; a function needs no locking of its own.
//
// To add a device model: derive from UsbFunction for a new framing, or (usually) implement
// ByteStreamFunction behind an FtdiChip (generation 3) or PacketFunction behind a
// RawPacketPipe (generation 2), and hand it to an EmulatedDevice.
class UsbFunction {
public:
    // The endpoints the function's interface 0 declares (bulk, 64-byte packets).
    static constexpr quint8 BULK_IN_ENDPOINT = 0x81;
    static constexpr quint8 BULK_OUT_ENDPOINT = 0x02;
    static constexpr int MAX_PACKET_SIZE = 64;
    // A delay meaning "this transfer would not complete" (the device keeps NAKing).
    static constexpr quint32 NEVER = 0xFFFFFFFFu;

    UsbFunction() = default;
    UsbFunction(const UsbFunction&) = delete;
    UsbFunction& operator=(const UsbFunction&) = delete;
    virtual ~UsbFunction() = default;

    // One bulk OUT transfer, taken whole.
    virtual void bulkOut(const QByteArray& data, quint32 nowMs) = 0;
    // How long after `nowMs` the device would complete a bulk IN transfer requested now, or
    // NEVER. The transport calls bulkIn() once that time has passed; when the host gives up
    // first, nothing is taken.
    virtual quint32 bulkInDelay(quint32 nowMs) = 0;
    // The content of the bulk IN transfer completing at `nowMs`, at most `maxLength` bytes
    // into `buffer`; returns the count.
    virtual int bulkIn(quint8* buffer, int maxLength, quint32 nowMs) = 0;
    // How long after `nowMs` the device would take a bulk OUT transfer started now (it NAKs
    // while busy, writing flash for example); by default at once.
    virtual quint32 bulkOutDelay(quint32 nowMs);
    // A vendor or class control OUT request; false stalls it.
    virtual bool controlOut(const ControlRequest& request, quint32 nowMs) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT) on `endpoint`; false stalls it.
    virtual bool clearHalt(quint8 endpoint, quint32 nowMs);

    // Set by the device that carries the function (null while it has none).
    void setDeviceControl(UsbDeviceControl* control) { device = control; }

protected:
    UsbDeviceControl* deviceControl() const { return device; }

private:
    UsbDeviceControl* device = nullptr;
};
