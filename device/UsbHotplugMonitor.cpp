#include "device/UsbHotplugMonitor.h"

#include "app/Clock.h"

#include <QSocketNotifier>

#include <libudev.h>
#include <poll.h>

namespace {

// udev's events, sent after its rules ran (the kernel's own come before them).
constexpr const char* UDEV_EVENTS = "udev";
constexpr int MAX_EVENTS_AT_ONCE = 64;

}  // namespace

UsbHotplugMonitor::UsbHotplugMonitor(QObject* parent) : QObject(parent) {
    settle.setSingleShot(true);
    settle.setInterval(SETTLE_MS);
    connect(&settle, &QTimer::timeout, this, &UsbHotplugMonitor::devicesChanged);

    context = udev_new();
    if (context == nullptr) {
        return;
    }
    monitor = udev_monitor_new_from_netlink(context, UDEV_EVENTS);
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0 || udev_monitor_get_fd(monitor) < 0) {
        if (monitor != nullptr) {
            udev_monitor_unref(monitor);
            monitor = nullptr;
        }
        return;
    }
    notifier = new QSocketNotifier(udev_monitor_get_fd(monitor), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UsbHotplugMonitor::onReadable);
}

UsbHotplugMonitor::~UsbHotplugMonitor() {
    delete notifier;  // before the socket it watches goes
    if (monitor != nullptr) {
        udev_monitor_unref(monitor);
    }
    if (context != nullptr) {
        udev_unref(context);
    }
}

bool UsbHotplugMonitor::drain() {
    // At most a bounded number at a time, so that a flood of events cannot hold the
    // caller: what is left makes the socket readable again.
    int read = 0;
    while (read < MAX_EVENTS_AT_ONCE) {
        udev_device* device = udev_monitor_receive_device(monitor);
        if (device == nullptr) {
            break;
        }
        ++read;  // the filter lets only whole USB devices through
        udev_device_unref(device);
    }
    return read > 0;
}

void UsbHotplugMonitor::onReadable() {
    // However many events came, one report per burst.
    if (drain() && !settle.isActive()) {
        settle.start();
    }
}

bool UsbHotplugMonitor::waitForChange(int timeoutMs) {
    if (monitor == nullptr || dynamic_cast<SteadyClock*>(&projectClock()) == nullptr) {
        sleepMs(timeoutMs);
        return false;
    }
    pollfd watched{udev_monitor_get_fd(monitor), POLLIN, 0};
    const int ready = ::poll(&watched, 1, timeoutMs);
    if (ready <= 0 || !drain()) {
        return false;
    }
    // The rest of the burst.
    sleepMs(SETTLE_MS);
    drain();
    return true;
}
