#pragma once

#include "device/UsbPipes.h"
#include "emu/EmulatedDevice.h"

#include <functional>
#include <memory>

// The pipes of one open emulated device, in-process. Each wait costs what it would on the
// wire, on the project clock: a transfer waits as long as the device takes to answer it,
// and one the device does not answer in time costs exactly the time-out. Under a
// VirtualClock this takes no real time; under the steady clock (the demo) it is a real,
// plausible delay. The pipe reset clears the halt of both bulk endpoints, as the libusb
// pipes do.
class EmulatedPipes : public UsbPipes {
public:
    EmulatedPipes(std::shared_ptr<EmulatedDevice> device, int connection);
    ~EmulatedPipes() override;

    TransferResult read(quint8* buffer, int maxLength, quint32 timeoutMs) override;
    TransferResult write(const quint8* buffer, int length, quint32 timeoutMs) override;
    bool resetPipe(quint8 flag) override;
    bool vendorRequest(quint8 request, quint16 value, quint16 index,
                       const QByteArray& payload) override;
    QString lastError() const override { return error; }

private:
    TransferResult note(TransferResult result, const char* what);
    // Waits for a bulk transfer that began as `transfer` and ends it: by `finish` when the
    // device completes it within `timeoutMs`, by cancelling it when not.
    TransferResult complete(const EmulatedDevice::Transfer& transfer, quint32 timeoutMs,
                            const char* what, const std::function<TransferResult(quint32)>& finish);

    std::shared_ptr<EmulatedDevice> device;
    int connection;
    QString error;
};
