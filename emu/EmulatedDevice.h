#pragma once

#include "device/UsbPipes.h"
#include "emu/FrameLog.h"
#include "emu/TransportFaults.h"
#include "emu/UsbFunction.h"

#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

// A device on the emulated bus: its USB identity, its presence (it may be unplugged or be
// re-enumerating), and the function that stands in the probe's place. A device without a
// function is listed by discovery and refuses to open (a device of another vendor, say).
//
// The device is also the transport-neutral end of the cable: both the in-process pipes
// (openPipes) and the usbdevfs handler of the libusb tests pass their traffic through the
// transport-side operations below, which apply the transport faults, keep the frame log
// and call the function. Devices live in a std::shared_ptr (the pipes keep theirs alive).
// Thread-safe: the usbdevfs handler runs on its own thread.
class EmulatedDevice : public UsbDeviceControl,
                       public std::enable_shared_from_this<EmulatedDevice> {
public:
    EmulatedDevice(quint16 vendorId, quint16 productId, const QString& serialNumber,
                   std::unique_ptr<UsbFunction> function = nullptr);
    EmulatedDevice(const EmulatedDevice&) = delete;
    EmulatedDevice& operator=(const EmulatedDevice&) = delete;
    ~EmulatedDevice() override;

    quint16 vendorId() const { return vendor; }
    quint16 productId() const;
    QString serialNumber() const;

    // Whether the device is on the bus now: not unplugged, and not between leaving and
    // coming back while it re-enumerates.
    virtual bool present() const;
    // Opens the device's data pipes; throws UsbOpenError as a real open would ("device
    // already in use", "cannot open device driver").
    virtual std::unique_ptr<UsbPipes> openPipes();
    // Why the last openPipes() failed, worded as the Linux backend words the libusb error
    // behind the same refusal; empty after a successful open.
    QString lastOpenError() const;

    // The file that stands for the device as its usbfs node would (empty: none), which a
    // refused open names, so that tests can have a process hold the "device".
    QString deviceNode() const;
    void setDeviceNode(const QString& path);

    // The function behind the device, null for a device without one.
    UsbFunction* function() const { return usbFunction.get(); }
    TransportFaults& faults() { return transportFaults; }
    FrameLog& frameLog() { return frames; }
    // Connections (open pipes) not yet closed.
    int openConnections() const;
    // Runs `action` while no transfer can reach the function: for tests that script the
    // function from another thread than the one serving the transport (umockdev).
    void withLock(const std::function<void()>& action);

    // Pulls the device off the bus: it is no longer listed and every transfer on pipes
    // opened before fails. plugIn() puts it back (old pipes stay dead).
    void unplug();
    void plugIn();
    void reenumerate(quint16 productId, quint32 absentMs,
                     const std::optional<QString>& serialNumber = std::nullopt) override;

    // ---- Transport side -------------------------------------------------------------
    // One bulk transfer in progress: begin..() decides whether it starts and how long the
    // device takes; the transport waits that long (or its time-out) and then calls
    // finish..() or cancel().
    struct Transfer {
        int connection = 0;
        UsbFrame::Direction direction = UsbFrame::Direction::In;
        bool started = false;  // false: refused at once (TransferResult::NotStarted)
        quint32 delayMs = 0;   // until the device completes it, or UsbFunction::NEVER
        quint32 startMs = 0;   // when it began
        TransferFault fault;
    };

    // Claims the device for one host connection: OpenRefusal::None and `connection` set,
    // or why it was refused.
    OpenRefusal connect(int& connection);
    void disconnect(int connection);
    Transfer beginIn(int connection, quint32 nowMs);
    TransferResult finishIn(const Transfer& transfer, quint8* buffer, int maxLength, quint32 nowMs);
    Transfer beginOut(int connection, quint32 nowMs);
    TransferResult finishOut(const Transfer& transfer, const quint8* data, int length,
                             quint32 nowMs);
    // The host gave up waiting (time-out) and cancelled the transfer.
    void cancel(const Transfer& transfer, quint32 nowMs);
    // A control OUT request (vendor request, or clearing an endpoint halt); false stalls.
    bool control(int connection, const ControlRequest& request, quint32 nowMs);

private:
    // Applies a due reappearance.
    void settle(quint32 nowMs) const;
    bool alive(int connection) const;
    // A bulk transfer's start: its fault drawn, or logged as not started when the connection
    // is dead or the fault refuses it.
    Transfer begin(int connection, UsbFrame::Direction direction, quint32 nowMs);
    void leaveBus();
    void log(const Transfer& transfer, TransferResult::Status outcome, QByteArray bytes,
             quint32 nowMs);

    mutable std::recursive_mutex mutex;
    const quint16 vendor;
    mutable quint16 product;
    mutable QString serial;
    std::unique_ptr<UsbFunction> usbFunction;
    TransportFaults transportFaults;
    FrameLog frames;

    bool unplugged = false;
    QString openError;
    QString node;
    // While re-enumerating: when the device comes back, and as what.
    mutable std::optional<quint32> reappearAtMs;
    mutable quint16 productAfter = 0;
    mutable std::optional<QString> serialAfter;
    // Bumped whenever the device leaves the bus; connections of an older attachment are
    // dead.
    quint32 attachment = 0;
    int connectionsMade = 0;
    std::map<int, quint32> connections;  // open connection -> its attachment
};
