#include "emu/EmulatedUsbBus.h"

#include "app/HException.h"
#include "emu/ControlFilePipes.h"
#include "emu/EmulatorSetup.h"
#include "emu/FrameLogExport.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

EmulatedUsbBus::~EmulatedUsbBus() {
    {
        const std::lock_guard lock(watch->mutex);
        watch->bus = nullptr;
    }
    if (!frameLogExport.isEmpty()) {
        QString problem;
        if (!appendFrameLogs(frameLogExport, everAttached, problem)) {
            std::fprintf(stderr, "kvtool: KVTOOL_EMULATE_LOG: %s\n", qPrintable(problem));
        }
    }
}

void EmulatedUsbBus::exportFrameLogAtExit(const QString& path) {
    const std::lock_guard lock(mutex);
    frameLogExport = path;
    for (const Slot& slot : slots_) {
        remember(slot.device);
    }
}

void EmulatedUsbBus::remember(const std::shared_ptr<EmulatedDevice>& device) {
    if (!framesRecorded) {
        device->frameLog().setEnabled(false);
    }
    // Kept only for the export, which would otherwise keep every device ever attached.
    if (!frameLogExport.isEmpty() &&
        std::find(everAttached.begin(), everAttached.end(), device) == everAttached.end()) {
        everAttached.push_back(device);
    }
}

std::shared_ptr<EmulatedDevice> EmulatedUsbBus::attach(std::shared_ptr<EmulatedDevice> device) {
    const std::lock_guard lock(mutex);
    device->plugIn();
    remember(device);
    ++attachments;
    // Its own port on the emulated bus, which it keeps through restarts.
    slots_.push_back({device, QStringLiteral("emulated:%1").arg(attachments),
                      QStringLiteral("1-%1").arg(attachments), QString()});
    return device;
}

void EmulatedUsbBus::detach(const std::shared_ptr<EmulatedDevice>& device) {
    const std::lock_guard lock(mutex);
    std::erase_if(slots_, [&](const Slot& slot) { return slot.device == device; });
    device->unplug();
}

void EmulatedUsbBus::detachAll() {
    const std::lock_guard lock(mutex);
    for (const Slot& slot : slots_) {
        slot.device->unplug();
    }
    slots_.clear();
}

std::vector<std::shared_ptr<EmulatedDevice>> EmulatedUsbBus::devices() const {
    const std::lock_guard lock(mutex);
    std::vector<std::shared_ptr<EmulatedDevice>> all;
    for (const Slot& slot : slots_) {
        all.push_back(slot.device);
    }
    return all;
}

void EmulatedUsbBus::setControlFile(const QString& path) {
    {
        // The pipes take the watch's lock before the bus's: never the other way round.
        const std::lock_guard watching(watch->mutex);
        watch->bus = this;
    }
    const std::lock_guard lock(mutex);
    controlFile = path;
    controlSize = -1;
    syncWithControlFile();
}

UsbDeviceList EmulatedUsbBus::enumerate() {
    const std::lock_guard lock(mutex);
    syncWithControlFile();
    UsbDeviceList list;
    for (const Slot& slot : slots_) {
        if (slot.device->present()) {
            list.append(UsbDeviceInfo(slot.device->vendorId(), slot.device->productId(),
                                      slot.device->serialNumber(), slot.path, slot.port));
        }
    }
    return list;
}

std::unique_ptr<UsbPipes> EmulatedUsbBus::open(const UsbDeviceInfo& device) {
    const std::lock_guard lock(mutex);
    openError.clear();
    for (const Slot& slot : slots_) {
        if (slot.path == device.devicePath() && slot.device->present()) {
            try {
                std::unique_ptr<UsbPipes> pipes = slot.device->openPipes();
                if (controlFile.isEmpty()) {
                    return pipes;
                }
                return std::make_unique<ControlFilePipes>(std::move(pipes), [watch = watch] {
                    const std::lock_guard watching(watch->mutex);
                    if (watch->bus != nullptr) {
                        const std::lock_guard lock(watch->bus->mutex);
                        watch->bus->syncWithControlFile(true);
                    }
                });
            } catch (const UsbOpenError& refused) {
                openError = slot.device->lastOpenError();
                throw UsbOpenError(refused.refusal(), slot.device->deviceNode());
            } catch (const HException&) {
                openError = slot.device->lastOpenError();
                throw;
            }
        }
    }
    openError = QStringLiteral("no emulated device at \"%1\"").arg(device.devicePath());
    throw UsbOpenError(OpenRefusal::Other);
}

// Devices created from an unchanged item stay attached with their state (an emulated
// probe keeps the firmware installed on it); items that disappeared are detached.
void EmulatedUsbBus::syncWithControlFile(bool settledOnly) {
    if (controlFile.isEmpty()) {
        return;
    }
    const QFileInfo info(controlFile);
    const qint64 size = info.exists() ? info.size() : -2;
    if (size == controlSize && info.lastModified() == controlModified) {
        return;
    }
    if (settledOnly) {
        // Taken once it has been seen the same for a while (a file's time stamp cannot
        // tell: truncating it need not change it).
        if (!changeSeen.isValid() || size != pendingSize ||
            info.lastModified() != pendingModified) {
            pendingSize = size;
            pendingModified = info.lastModified();
            changeSeen.start();
            return;
        }
        if (changeSeen.elapsed() < SETTLE_MS) {
            return;
        }
    }
    changeSeen.invalidate();
    controlSize = size;
    controlModified = info.lastModified();

    QString text;
    QFile file(controlFile);
    if (file.open(QIODevice::ReadOnly)) {
        text = QString::fromUtf8(file.read(qint64{64} * 1024));
    }
    const EmulatorSetup spec = EmulatorSetup::parse(text);
    for (const QString& error : spec.errors) {
        std::fprintf(stderr, "kvtool: %s: %s\n", qPrintable(controlFile), qPrintable(error));
    }
    std::vector<Slot> kept;
    for (const EmulatorSetup::Item& item : spec.items) {
        auto existing = std::find_if(slots_.begin(), slots_.end(),
                                     [&](const Slot& slot) { return slot.key == item.key; });
        if (existing != slots_.end()) {
            kept.push_back(*existing);
        } else {
            ++attachments;
            kept.push_back({item.create(), QStringLiteral("emulated:%1").arg(attachments),
                            QStringLiteral("1-%1").arg(attachments), item.key});
            remember(kept.back().device);
        }
    }
    // Devices attached by code rather than by the file stay as they are; the others that
    // left the file are pulled off the bus (pipes still open on them fail from now on).
    for (const Slot& slot : slots_) {
        if (slot.key.isEmpty()) {
            kept.push_back(slot);
        } else if (std::none_of(kept.begin(), kept.end(),
                                [&](const Slot& k) { return k.device == slot.device; })) {
            slot.device->unplug();
        }
    }
    slots_ = std::move(kept);
}
