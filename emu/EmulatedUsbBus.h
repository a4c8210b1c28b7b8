#pragma once

#include "device/UsbBackend.h"
#include "emu/EmulatedDevice.h"

#include <QDateTime>

#include <memory>
#include <vector>

// The emulated USB bus: devices are attached and detached by tests (or by the control
// file behind KVTOOL_EMULATE), enumerated in the order they were attached, and opened
// through their own pipes. Device paths are "emulated:<n>", n counting attachments.
class EmulatedUsbBus : public UsbBackend {
public:
    ~EmulatedUsbBus() override;

    // Attaches (plugs in) `device` and returns it (for chaining in tests).
    std::shared_ptr<EmulatedDevice> attach(std::shared_ptr<EmulatedDevice> device);
    // Detaching unplugs: pipes still open on the device fail from then on.
    void detach(const std::shared_ptr<EmulatedDevice>& device);
    void detachAll();
    std::vector<std::shared_ptr<EmulatedDevice>> devices() const;

    // Re-read the device list from this file whenever it changes (see EmulatorSetup).
    void setControlFile(const QString& path);

    UsbDeviceList enumerate() override;
    std::unique_ptr<UsbPipes> open(const UsbDeviceInfo& device) override;
    QString lastError() const override { return openError; }

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
    void syncWithControlFile();
    void remember(const std::shared_ptr<EmulatedDevice>& device);

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
};
