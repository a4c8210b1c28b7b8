#pragma once

#include "device/UsbBackend.h"

#include <QString>

#include <functional>
#include <memory>

// Stands between the links and the process-wide USB backend (the Linux one or the
// emulated bus) and watches what passes: it keeps the backend's or the pipes' reason for
// the last failure it saw (the libusb error behind "cannot open device driver", a stalled
// transfer), and, when given a trace function, describes every open, transfer and control
// request in one line each, as the host saw it (kvtool-cli --verbose). Runs of identical lines,
// such as the empty status packets of a generation-3 probe that has nothing to say yet, are told
// once with their count.
class TracingUsbBackend : public UsbBackend {
public:
    using Trace = std::function<void(const QString& line)>;

    TracingUsbBackend(std::unique_ptr<UsbBackend> inner, Trace trace);
    ~TracingUsbBackend() override;

    UsbDeviceList enumerate() override;
    std::unique_ptr<UsbPipes> open(const UsbDeviceInfo& device) override;
    QString lastError() const override;
    QString lastFailureReason() const override { return lastUsbError(); }
    int failuresSeen() const override;

    // The reason behind the last failure of an open or a transfer, or a null text.
    QString lastUsbError() const;
    // Tells a pending run of repeated lines.
    void flush();

    // Shared with the pipes opened through this backend, which may outlive it.
    struct State;

private:
    std::unique_ptr<UsbBackend> inner;
    std::shared_ptr<State> state;
};
