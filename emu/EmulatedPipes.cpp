#include "emu/EmulatedPipes.h"

#include "app/Clock.h"

#include <climits>

namespace {

// Waits `milliseconds` on the project clock, which sleeps in int-sized steps.
void waitMs(quint32 milliseconds) {
    while (milliseconds > 0) {
        const quint32 step = std::min<quint32>(milliseconds, INT_MAX);
        sleepMs(static_cast<int>(step));
        milliseconds -= step;
    }
}

}  // namespace

EmulatedPipes::EmulatedPipes(std::shared_ptr<EmulatedDevice> device, int connection)
    : device(std::move(device)), connection(connection) {}

EmulatedPipes::~EmulatedPipes() {
    device->disconnect(connection);
}

TransferResult EmulatedPipes::note(TransferResult result, const char* what) {
    switch (result.status) {
        case TransferResult::Completed:
            break;
        case TransferResult::TimedOut:
            error = QStringLiteral("%1 timed out").arg(QLatin1String(what));
            break;
        case TransferResult::NotStarted:
            error = QStringLiteral("%1 refused: device not on the bus or transfer rejected")
                        .arg(QLatin1String(what));
            break;
        case TransferResult::Failed:
            error = QStringLiteral("%1 failed").arg(QLatin1String(what));
            break;
    }
    return result;
}

TransferResult EmulatedPipes::complete(const EmulatedDevice::Transfer& transfer, quint32 timeoutMs,
                                       const char* what,
                                       const std::function<TransferResult(quint32)>& finish) {
    if (!transfer.started) {
        return note(TransferResult::notStarted(), what);
    }
    if (transfer.delayMs > timeoutMs) {
        waitMs(timeoutMs);
        device->cancel(transfer, tickCountMs());
        return note(TransferResult::timedOut(), what);
    }
    waitMs(transfer.delayMs);
    return note(finish(tickCountMs()), what);
}

TransferResult EmulatedPipes::read(quint8* buffer, int maxLength, quint32 timeoutMs) {
    const EmulatedDevice::Transfer transfer = device->beginIn(connection, tickCountMs());
    return complete(transfer, timeoutMs, "bulk IN", [&](quint32 nowMs) {
        return device->finishIn(transfer, buffer, maxLength, nowMs);
    });
}

TransferResult EmulatedPipes::write(const quint8* buffer, int length, quint32 timeoutMs) {
    const EmulatedDevice::Transfer transfer = device->beginOut(connection, tickCountMs());
    return complete(transfer, timeoutMs, "bulk OUT", [&](quint32 nowMs) {
        return device->finishOut(transfer, buffer, length, nowMs);
    });
}

bool EmulatedPipes::resetPipe(quint8 flag) {
    Q_UNUSED(flag);  // the halt is cleared whatever the flag, as on the libusb pipes
    for (const quint8 endpoint : {UsbFunction::BULK_IN_ENDPOINT, UsbFunction::BULK_OUT_ENDPOINT}) {
        if (!device->control(connection, ControlRequest::clearHalt(endpoint), tickCountMs())) {
            error = QStringLiteral("clearing the halt of endpoint 0x%1 stalled")
                        .arg(endpoint, 2, 16, QLatin1Char('0'));
            return false;
        }
    }
    return true;
}

bool EmulatedPipes::vendorRequest(quint8 request, quint16 value, quint16 index,
                                  const QByteArray& payload) {
    if (!device->control(connection, ControlRequest::vendorOut(request, value, index, payload),
                         tickCountMs())) {
        error = QStringLiteral("vendor request %1 (value %2) stalled").arg(request).arg(value);
        return false;
    }
    return true;
}
