#include "emu/TransportFaults.h"

#include <algorithm>

namespace {

int slot(UsbFrame::Direction direction) {
    return direction == UsbFrame::Direction::In ? 0 : 1;
}

// Removes the rules that will never fire again.
template <typename Rules>
void prune(Rules& rules) {
    rules.removeIf([](const auto& rule) { return rule.times == 0; });
}

}  // namespace

bool TransportFaults::Rule::fire(bool taken) {
    if (times == 0) {
        return false;
    }
    if (after > 0) {
        --after;
        return false;
    }
    // A rule that is due while another one already hit this event waits for the next.
    if (taken) {
        return false;
    }
    if (times > 0) {
        --times;
    }
    return true;
}

void TransportFaults::inject(Direction direction, TransferFault fault, int after, int times) {
    const std::lock_guard lock(mutex);
    transferRules.append({{std::max(after, 0), times}, direction, fault});
}

void TransportFaults::refuseOpen(OpenRefusal refusal, int times) {
    const std::lock_guard lock(mutex);
    openRules.append({{0, times}, refusal});
}

void TransportFaults::failVendorRequest(quint8 request, quint16 value, int times) {
    const std::lock_guard lock(mutex);
    controlRules.append({{0, times}, /*clearHalt=*/false, request, value});
}

void TransportFaults::failPipeReset(int times) {
    const std::lock_guard lock(mutex);
    controlRules.append({{0, times}, /*clearHalt=*/true});
}

void TransportFaults::unplugAfter(Direction direction, qint64 bytes) {
    const std::lock_guard lock(mutex);
    unplugBudget[slot(direction)] = std::max<qint64>(bytes, 0);
}

void TransportFaults::clear() {
    const std::lock_guard lock(mutex);
    transferRules.clear();
    openRules.clear();
    controlRules.clear();
    unplugBudget[0].reset();
    unplugBudget[1].reset();
}

TransferFault TransportFaults::nextTransfer(Direction direction) {
    const std::lock_guard lock(mutex);
    TransferFault hit;
    for (TransferRule& rule : transferRules) {
        if (rule.direction == direction && rule.fire(hit.kind != TransferFault::None)) {
            hit = rule.fault;
        }
    }
    prune(transferRules);
    return hit;
}

OpenRefusal TransportFaults::nextOpen() {
    const std::lock_guard lock(mutex);
    OpenRefusal hit = OpenRefusal::None;
    for (OpenRule& rule : openRules) {
        if (rule.fire(hit != OpenRefusal::None)) {
            hit = rule.refusal;
        }
    }
    prune(openRules);
    return hit;
}

bool TransportFaults::controlFails(const ControlRequest& request) {
    const std::lock_guard lock(mutex);
    bool hit = false;
    for (ControlRule& rule : controlRules) {
        const bool matches =
            rule.clearHalt ? request.isClearHalt()
                           : request.requestType == ControlRequest::TYPE_VENDOR_DEVICE_OUT &&
                                 request.request == rule.request && request.value == rule.value;
        if (matches && rule.fire(hit)) {
            hit = true;
        }
    }
    prune(controlRules);
    return hit;
}

int TransportFaults::passBytes(Direction direction, int count, bool& unplug) {
    const std::lock_guard lock(mutex);
    unplug = false;
    std::optional<qint64>& budget = unplugBudget[slot(direction)];
    if (!budget) {
        return count;
    }
    const int passed = static_cast<int>(std::min<qint64>(count, *budget));
    *budget -= passed;
    if (*budget == 0) {
        unplug = true;
        budget.reset();
    }
    return passed;
}
