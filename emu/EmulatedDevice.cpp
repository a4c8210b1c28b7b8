#include "emu/EmulatedDevice.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "device/LibusbPipes.h"
#include "emu/EmulatedPipes.h"

#include <libusb.h>

#include <algorithm>

EmulatedDevice::EmulatedDevice(quint16 vendorId, quint16 productId, const QString& serialNumber,
                               std::unique_ptr<UsbFunction> function)
    : vendor(vendorId), product(productId), serial(serialNumber), usbFunction(std::move(function)) {
    if (usbFunction) {
        usbFunction->setDeviceControl(this);
    }
}

EmulatedDevice::~EmulatedDevice() {
    if (usbFunction) {
        usbFunction->setDeviceControl(nullptr);
    }
}

quint16 EmulatedDevice::productId() const {
    const std::lock_guard lock(mutex);
    settle(tickCountMs());
    return product;
}

QString EmulatedDevice::serialNumber() const {
    const std::lock_guard lock(mutex);
    settle(tickCountMs());
    return serial;
}

bool EmulatedDevice::present() const {
    const std::lock_guard lock(mutex);
    settle(tickCountMs());
    return !unplugged && !reappearAtMs;
}

void EmulatedDevice::settle(quint32 nowMs) const {
    if (reappearAtMs && static_cast<qint32>(nowMs - *reappearAtMs) >= 0) {
        reappearAtMs.reset();
        product = productAfter;
        if (serialAfter) {
            serial = *serialAfter;
            serialAfter.reset();
        }
    }
}

std::unique_ptr<UsbPipes> EmulatedDevice::openPipes() {
    const auto refuse = [this](const char* operation, int code) {
        const std::lock_guard lock(mutex);
        openError = describeLibusbError(operation, code);
        return UsbOpenError(code == LIBUSB_ERROR_BUSY     ? OpenRefusal::Busy
                            : code == LIBUSB_ERROR_ACCESS ? OpenRefusal::Denied
                                                          : OpenRefusal::Other);
    };
    if (!usbFunction) {
        throw refuse("libusb_claim_interface", LIBUSB_ERROR_NOT_SUPPORTED);
    }
    int connection = 0;
    switch (connect(connection)) {
        case OpenRefusal::None:
            break;
        case OpenRefusal::Busy:
            throw refuse("libusb_claim_interface", LIBUSB_ERROR_BUSY);
        case OpenRefusal::Denied:
            throw refuse("libusb_open", LIBUSB_ERROR_ACCESS);
        case OpenRefusal::Other:
            throw refuse("libusb_open", LIBUSB_ERROR_NO_DEVICE);
    }
    const std::lock_guard lock(mutex);
    openError.clear();
    return std::make_unique<EmulatedPipes>(shared_from_this(), connection);
}

QString EmulatedDevice::deviceNode() const {
    const std::lock_guard lock(mutex);
    return node;
}

void EmulatedDevice::setDeviceNode(const QString& path) {
    const std::lock_guard lock(mutex);
    node = path;
}

QString EmulatedDevice::lastOpenError() const {
    const std::lock_guard lock(mutex);
    return openError;
}

int EmulatedDevice::openConnections() const {
    const std::lock_guard lock(mutex);
    return static_cast<int>(connections.size());
}

void EmulatedDevice::withLock(const std::function<void()>& action) {
    const std::lock_guard lock(mutex);
    action();
}

void EmulatedDevice::leaveBus() {
    ++attachment;
}

void EmulatedDevice::unplug() {
    const std::lock_guard lock(mutex);
    unplugged = true;
    leaveBus();
}

void EmulatedDevice::plugIn() {
    const std::lock_guard lock(mutex);
    unplugged = false;
}

void EmulatedDevice::reenumerate(quint16 productId, quint32 absentMs,
                                 const std::optional<QString>& serialNumber) {
    const std::lock_guard lock(mutex);
    leaveBus();
    reappearAtMs = tickCountMs() + absentMs;
    productAfter = productId;
    serialAfter = serialNumber;
}

bool EmulatedDevice::alive(int connection) const {
    const auto found = connections.find(connection);
    return found != connections.end() && found->second == attachment && !unplugged && !reappearAtMs;
}

OpenRefusal EmulatedDevice::connect(int& connection) {
    const std::lock_guard lock(mutex);
    settle(tickCountMs());
    if (!usbFunction || unplugged || reappearAtMs) {
        return OpenRefusal::Other;
    }
    const OpenRefusal refusal = transportFaults.nextOpen();
    if (refusal != OpenRefusal::None) {
        return refusal;
    }
    connection = ++connectionsMade;
    connections[connection] = attachment;
    return OpenRefusal::None;
}

void EmulatedDevice::disconnect(int connection) {
    const std::lock_guard lock(mutex);
    connections.erase(connection);
}

void EmulatedDevice::log(const Transfer& transfer, TransferResult::Status outcome, QByteArray bytes,
                         quint32 nowMs) {
    UsbFrame frame;
    frame.direction = transfer.direction;
    frame.kind = UsbFrame::Kind::Bulk;
    frame.outcome = outcome;
    frame.bytes = std::move(bytes);
    frame.timeMs = nowMs;
    frame.startMs = transfer.startMs;
    frames.append(std::move(frame));
}

EmulatedDevice::Transfer EmulatedDevice::begin(int connection, UsbFrame::Direction direction,
                                               quint32 nowMs) {
    settle(nowMs);
    Transfer transfer;
    transfer.connection = connection;
    transfer.direction = direction;
    transfer.startMs = nowMs;
    if (alive(connection)) {
        transfer.fault = transportFaults.nextTransfer(direction);
        transfer.started = transfer.fault.kind != TransferFault::NotStarted;
    }
    if (!transfer.started) {
        log(transfer, TransferResult::NotStarted, QByteArray(), nowMs);
    }
    return transfer;
}

EmulatedDevice::Transfer EmulatedDevice::beginIn(int connection, quint32 nowMs) {
    const std::lock_guard lock(mutex);
    Transfer transfer = begin(connection, UsbFrame::Direction::In, nowMs);
    if (!transfer.started) {
        return transfer;
    }
    switch (transfer.fault.kind) {
        case TransferFault::NotStarted:  // begin() did not start it
        case TransferFault::Fail:
            transfer.delayMs = 0;
            break;
        case TransferFault::Never:
            transfer.delayMs = UsbFunction::NEVER;
            break;
        case TransferFault::None:
            transfer.delayMs = usbFunction->bulkInDelay(nowMs);
            break;
        case TransferFault::Truncate:
            // A runt packet still takes a frame on the bus, so a device sending nothing
            // but runts lets time pass.
            transfer.delayMs = std::max<quint32>(usbFunction->bulkInDelay(nowMs), 1);
            break;
    }
    return transfer;
}

TransferResult EmulatedDevice::finishIn(const Transfer& transfer, quint8* buffer, int maxLength,
                                        quint32 nowMs) {
    const std::lock_guard lock(mutex);
    settle(nowMs);
    if (!alive(transfer.connection) || transfer.fault.kind == TransferFault::Fail ||
        maxLength < 0) {
        log(transfer, TransferResult::Failed, QByteArray(), nowMs);
        return TransferResult::failed();
    }
    // A runt is cut short at the device: what does not fit stays with the function.
    const int room = transfer.fault.kind == TransferFault::Truncate
                         ? std::clamp(transfer.fault.bytes, 0, maxLength)
                         : maxLength;
    const int count = std::clamp(usbFunction->bulkIn(buffer, room, nowMs), 0, room);
    bool unplugNow = false;
    const int passed = transportFaults.passBytes(UsbFrame::Direction::In, count, unplugNow);
    const bool complete = passed == count;
    log(transfer, complete ? TransferResult::Completed : TransferResult::Failed,
        QByteArray(reinterpret_cast<const char*>(buffer), passed), nowMs);
    if (unplugNow) {
        unplug();
    }
    return complete ? TransferResult::completed(count) : TransferResult::failed();
}

EmulatedDevice::Transfer EmulatedDevice::beginOut(int connection, quint32 nowMs) {
    const std::lock_guard lock(mutex);
    Transfer transfer = begin(connection, UsbFrame::Direction::Out, nowMs);
    if (transfer.started) {
        transfer.delayMs = transfer.fault.kind == TransferFault::Never
                               ? UsbFunction::NEVER
                               : usbFunction->bulkOutDelay(nowMs);
    }
    return transfer;
}

TransferResult EmulatedDevice::finishOut(const Transfer& transfer, const quint8* data, int length,
                                         quint32 nowMs) {
    const std::lock_guard lock(mutex);
    settle(nowMs);
    if (!alive(transfer.connection) || transfer.fault.kind == TransferFault::Fail || length < 0) {
        log(transfer, TransferResult::Failed, QByteArray(), nowMs);
        return TransferResult::failed();
    }
    int count = length;
    if (transfer.fault.kind == TransferFault::Truncate) {
        count = std::clamp(transfer.fault.bytes, 0, length);
    }
    bool unplugNow = false;
    const int passed = transportFaults.passBytes(UsbFrame::Direction::Out, count, unplugNow);
    const QByteArray bytes(reinterpret_cast<const char*>(data), passed);
    if (passed > 0 || length == 0) {
        usbFunction->bulkOut(bytes, nowMs);
    }
    const bool complete = passed == count;
    log(transfer, complete ? TransferResult::Completed : TransferResult::Failed, bytes, nowMs);
    if (unplugNow) {
        unplug();
    }
    return complete ? TransferResult::completed(count) : TransferResult::failed();
}

void EmulatedDevice::cancel(const Transfer& transfer, quint32 nowMs) {
    const std::lock_guard lock(mutex);
    log(transfer, TransferResult::TimedOut, QByteArray(), nowMs);
}

bool EmulatedDevice::control(int connection, const ControlRequest& request, quint32 nowMs) {
    const std::lock_guard lock(mutex);
    settle(nowMs);
    const bool live = alive(connection);
    const bool accepted =
        live && !transportFaults.controlFails(request) &&
        (request.isClearHalt() ? usbFunction->clearHalt(static_cast<quint8>(request.index), nowMs)
                               : usbFunction->controlOut(request, nowMs));
    frames.append({.direction = UsbFrame::Direction::Out,
                   .kind = UsbFrame::Kind::Control,
                   .outcome = !live      ? TransferResult::NotStarted
                              : accepted ? TransferResult::Completed
                                         : TransferResult::Failed,
                   .bytes = request.data,
                   .setup = request,
                   .timeMs = nowMs,
                   .startMs = nowMs});
    return accepted;
}
