#pragma once

// An emulated bus with generation-2 probes on a virtual clock that tests can schedule
// events on, and generated images to download.
#include "app/Clock.h"
#include "app/HException.h"
#include "app/HPath.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedDevice.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/Gen2Probe.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2Protocol.h"
#include "gen2/ReplyPairing.h"
#include "support/ThrownMessage.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Texts in failure messages as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

// Virtual time on which tests schedule events ("at 5500 ms a second probe appears") and
// watch every sleep: whenever something sleeps, the time advances and the events now due
// run, then the watchers.
class SteppingClock : public VirtualClock {
public:
    using VirtualClock::VirtualClock;

    void at(quint32 timeMs, std::function<void()> action) {
        const std::lock_guard lock(mutex);
        events.emplace(timeMs, std::move(action));
    }
    // Called after every sleep with its duration, on the thread that slept (the window's
    // worker sleeps on this clock too).
    void watch(std::function<void(int)> watcher) {
        const std::lock_guard lock(mutex);
        watchers.push_back(std::move(watcher));
    }

    void sleepMs(int milliseconds) override {
        VirtualClock::sleepMs(milliseconds);
        for (;;) {
            std::function<void()> action;
            {
                const std::lock_guard lock(mutex);
                if (events.empty() || static_cast<qint32>(tickMs() - events.begin()->first) < 0)
                    break;
                action = std::move(events.begin()->second);
                events.erase(events.begin());
            }
            action();
        }
        std::vector<std::function<void(int)>> toCall;
        {
            const std::lock_guard lock(mutex);
            toCall = watchers;
        }
        for (const auto& watcher : toCall)
            watcher(milliseconds);
    }

private:
    std::mutex mutex;
    std::multimap<quint32, std::function<void()>> events;
    std::vector<std::function<void(int)>> watchers;
};

// One progress report as a receiver saw it.
struct ProgressReport {
    int step;
    int steps;
    std::string text;  // "(null)" for a null description
    std::string units;

    friend bool operator==(const ProgressReport&, const ProgressReport&) = default;
    friend void PrintTo(const ProgressReport& r, std::ostream* os) {
        *os << "(" << r.step << ", " << r.steps << ", " << r.text << ", " << r.units << ")";
    }
};

inline ProgressReport report(int step, int steps, const char* text = nullptr,
                             const char* units = nullptr) {
    return {step, steps, text ? text : "(null)", units ? units : "(null)"};
}

class Gen2EmulatorFixture {
public:
    static constexpr quint32 START_MS = 1000000;

    Gen2EmulatorFixture()
        : bus(new EmulatedUsbBus), backend(std::unique_ptr<UsbBackend>(bus)), scoped(clock) {}

    // A probe running version `major`.`minor` with `flags`, attached now.
    std::shared_ptr<EmulatedDevice> attachProbe(
        quint16 major = 1, quint16 minor = 5, quint16 flags = 0x0A,
        const QString& serial = QStringLiteral("K2000001")) {
        auto device = makeGen2Device(
            std::make_unique<Gen2Probe>(KV2VersionRecord{major, minor, flags}, serial), serial);
        bus->attach(device);
        return device;
    }
    std::shared_ptr<EmulatedDevice> attachBootloader(
        const QString& serial = QStringLiteral("K2000001")) {
        auto device = makeGen2Device(std::make_unique<Gen2Probe>(), serial);
        bus->attach(device);
        return device;
    }
    static Gen2Probe& probe(const std::shared_ptr<EmulatedDevice>& device) {
        Gen2Probe* found = gen2ProbeOf(*device);
        if (found == nullptr)
            throw HException("not a generation-2 probe");
        return *found;
    }

    // An image file made by the generator, and the image loaded from it.
    QString writeImage(const KV2ImageSpec& spec, const QString& name = QStringLiteral("kv.bin")) {
        const QString path = files.filePath(name);
        writeKV2ImageFile(path, generateKV2Image(spec));
        return path;
    }
    KV2FirmwareImage loadImage(const KV2ImageSpec& spec) {
        KV2FirmwareImage image;
        image.load(HPath(writeImage(spec)), QString());
        return image;
    }

    // The packets the host sent to a device, and the replies it received, in order.
    static QList<QByteArray> sent(const std::shared_ptr<EmulatedDevice>& device) {
        QList<QByteArray> packets;
        for (const UsbFrame& frame :
             device->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::Out))
            packets.append(frame.bytes);
        return packets;
    }
    static QList<QByteArray> sent(const std::shared_ptr<EmulatedDevice>& device,
                                  kv2::Command command) {
        QList<QByteArray> packets;
        for (const QByteArray& packet : sent(device)) {
            if (packet.startsWith(char(command)))
                packets.append(packet);
        }
        return packets;
    }
    static QList<QByteArray> received(const std::shared_ptr<EmulatedDevice>& device) {
        QList<QByteArray> replies;
        for (const UsbFrame& frame :
             device->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::In)) {
            if (frame.outcome == TransferResult::Completed)
                replies.append(frame.bytes);
        }
        return replies;
    }

    EmulatedUsbBus* bus;
    ScopedUsbBackend backend;
    SteppingClock clock{START_MS};
    ScopedClock scoped;
    // Every session its own pattern, the same in every run of a test.
    ReplyPairing::ScopedSeeds seeds{[next = quint64(0)]() mutable { return ++next; }};
    QTemporaryDir files;
};
