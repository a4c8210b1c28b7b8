#pragma once

#include "device/UsbBackend.h"
#include "emu/EmulatedDevice.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <memory>
#include <mutex>
#include <vector>

// The emulated USB bus: devices are attached and detached by tests (or by the control
// file behind KVTOOL_EMULATE), enumerated in the order they were attached, and opened
// through their own pipes. Device paths are "emulated:<n>", n counting attachments.
// Thread-safe: a worker may transfer on a device while another thread enumerates.
class EmulatedUsbBus : public UsbBackend {
public:
    ~EmulatedUsbBus() override;

    // Attaches (plugs in) `device` and returns it (for chaining in tests).
    std::shared_ptr<EmulatedDevice> attach(std::shared_ptr<EmulatedDevice> device);
    // Detaching unplugs: pipes still open on the device fail from then on.
    void detach(const std::shared_ptr<EmulatedDevice>& device);
    void detachAll();
    std::vector<std::shared_ptr<EmulatedDevice>> devices() const;

    // Re-read the device list from this file whenever it changes (see EmulatorSetup): at
    // each enumeration, and before each operation on the pipes of a device of this bus
    // (once the change has held for SETTLE_MS), so that a device taken out of the file is
    // unplugged at once, even during an install.
    void setControlFile(const QString& path);
    static constexpr qint64 SETTLE_MS = 50;

    UsbDeviceList enumerate() override;
    std::unique_ptr<UsbPipes> open(const UsbDeviceInfo& device) override;
    QString lastError() const override {
        const std::lock_guard lock(mutex);
        return openError;
    }

    // When the bus is destroyed, append every device's frame log to this file (see
    // FrameLogExport), so that a test can see what the probes of another process received.
    void exportFrameLogAtExit(const QString& path);
    // Whether devices attached from now on record their frames (they do unless told not
    // to). A process that emulates probes for a user, not a test, keeps no log: a large
    // install would otherwise hold every byte it sent.
    void setFramesRecorded(bool recorded) { framesRecorded = recorded; }

private:
    struct Slot {
        std::shared_ptr<EmulatedDevice> device;
        QString path;
        QString port;
        QString key;  // the control-file item that created it, if any
    };
    // Reads the control file again, when there is one and it changed; `mutex` held. With
    // `settledOnly`, a change is taken only once it has been seen unchanged for SETTLE_MS
    // of real time: a file is rewritten by truncating it first (`echo gen3 > probes`), and
    // a look from the pipes, which comes many times a second, must not take that moment for
    // "nothing attached".
    void syncWithControlFile(bool settledOnly = false);
    void remember(const std::shared_ptr<EmulatedDevice>& device);

    // The bus as the pipes it opened reach it: null once the bus is gone.
    struct Watch {
        std::mutex mutex;
        EmulatedUsbBus* bus = nullptr;
    };
    std::shared_ptr<Watch> watch = std::make_shared<Watch>();

    mutable std::recursive_mutex mutex;
    std::vector<Slot> slots_;
    int attachments = 0;
    // Devices that ever were on the bus, in attachment order, for the frame-log export.
    std::vector<std::shared_ptr<EmulatedDevice>> everAttached;
    QString frameLogExport;
    bool framesRecorded = true;
    QString openError;
    QString controlFile;
    QDateTime controlModified;
    qint64 controlSize = -1;
    // A change the pipes saw, not taken yet: since when it has looked like this.
    QElapsedTimer changeSeen;
    QDateTime pendingModified;
    qint64 pendingSize = -1;
};
