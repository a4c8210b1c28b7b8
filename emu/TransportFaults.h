#pragma once

#include "device/UsbBackend.h"
#include "emu/FrameLog.h"
#include "emu/UsbFunction.h"

#include <QList>

#include <mutex>
#include <optional>

// A fault that hits one bulk transfer.
struct TransferFault {
    enum Kind {
        None,
        NotStarted,  // the host's platform refuses to start it
        Fail,        // it ends in an error at once
        Never,       // the device never completes it: the host waits out its time-out
        Truncate     // IN: the device sends a runt of at most `bytes` bytes (what does
                     // not fit stays queued; it takes at least 1 ms); OUT: only `bytes`
                     // bytes are taken (a short write)
    };
    Kind kind = None;
    int bytes = 0;

    static TransferFault notStarted() { return {NotStarted, 0}; }
    static TransferFault fail() { return {Fail, 0}; }
    static TransferFault never() { return {Never, 0}; }
    static TransferFault truncate(int bytes) { return {Truncate, bytes}; }
};

// Faults injected at the transport, between the host and the device's function: what a
// flaky cable, a busy device or a surprise removal looks like to the host. Rules are
// consumed as traffic passes; every rule counts the traffic it applies to on its own.
// Thread-safe: tests arm it while the usbdevfs handler consumes it.
class TransportFaults {
public:
    using Direction = UsbFrame::Direction;

    // `fault` hits bulk transfers in `direction`, starting after `after` unaffected ones,
    // for `times` transfers (-1: every one from then on).
    void inject(Direction direction, TransferFault fault, int after = 0, int times = 1);
    // Opening the device fails `times` times (-1: always).
    void refuseOpen(OpenRefusal refusal, int times = -1);
    // Vendor request `request` with `value` (any index) stalls, `times` times (-1: always).
    void failVendorRequest(quint8 request, quint16 value, int times = -1);
    // The pipe reset (clearing an endpoint halt) stalls, `times` times (-1: always).
    void failPipeReset(int times = -1);
    // The device vanishes from the bus once `bytes` bulk bytes have moved in `direction`;
    // the transfer that would carry more fails after delivering what fits.
    void unplugAfter(Direction direction, qint64 bytes);
    void clear();

    // Device side: consumes the rules that apply.
    TransferFault nextTransfer(Direction direction);
    OpenRefusal nextOpen();
    bool controlFails(const ControlRequest& request);
    // How many of `count` bytes pass before the unplug point; `unplug` tells whether the
    // point was reached.
    int passBytes(Direction direction, int count, bool& unplug);

private:
    struct Rule {
        int after = 0;
        int times = 1;  // -1: for good
        // Counts one event; true when the rule applies to it. `taken`: another rule
        // already applies to this event.
        bool fire(bool taken);
    };
    struct TransferRule : Rule {
        Direction direction = Direction::In;
        TransferFault fault;
    };
    struct OpenRule : Rule {
        OpenRefusal refusal = OpenRefusal::None;
    };
    struct ControlRule : Rule {
        bool clearHalt = false;
        quint8 request = 0;
        quint16 value = 0;
    };

    std::mutex mutex;
    QList<TransferRule> transferRules;
    QList<OpenRule> openRules;
    QList<ControlRule> controlRules;
    std::optional<qint64> unplugBudget[2];
};
