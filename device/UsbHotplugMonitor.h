#pragma once

#include <QObject>
#include <QTimer>

struct udev;
struct udev_monitor;
class QSocketNotifier;

// Tells when a USB device is attached or removed, as soon as udev has set it up: it
// listens to udev's own events (sent once the rules ran, so a probe's access rights are in
// place by then), for whole USB devices only. A burst of events (one plug brings several)
// is told once, SETTLE_MS after its first event. Costs nothing while nothing happens: the
// socket is watched by the event loop. Where there is no udev (a container, a chroot)
// nothing is ever told, and callers keep their timers for that.
class UsbHotplugMonitor : public QObject {
    Q_OBJECT

public:
    static constexpr int SETTLE_MS = 20;

    explicit UsbHotplugMonitor(QObject* parent = nullptr);
    ~UsbHotplugMonitor() override;
    UsbHotplugMonitor(const UsbHotplugMonitor&) = delete;
    UsbHotplugMonitor& operator=(const UsbHotplugMonitor&) = delete;

    // Whether udev's events can reach this object at all.
    bool isWatching() const { return monitor != nullptr; }

    // For callers without an event loop: waits at most `timeoutMs` for a device to come or
    // go and returns whether one did. Sleeps through the project clock instead when there
    // are no events to wait for or when the clock is not the real one (tests).
    bool waitForChange(int timeoutMs);

Q_SIGNALS:
    // A USB device came or went; once per burst.
    void devicesChanged();

private:
    // Reads every queued event; returns whether one was about a whole device.
    bool drain();
    void onReadable();

    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    QSocketNotifier* notifier = nullptr;
    QTimer settle;
};
