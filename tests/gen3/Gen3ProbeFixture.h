#pragma once

// An emulated bus with one generation-3 probe (FTDI-style chip + emulated loader) on a
// virtual clock, for tests that drive the loader through the real link.
#include "app/Clock.h"
#include "app/HException.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/Gen3Probe.h"
#include "gen3/FirmwareImageHeader.h"
#include "support/ThrownMessage.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <string>

// A valid image of `size` bytes: a header with the given version and description, then
// bytes that differ from chunk to chunk (a misplaced chunk shows).
inline QByteArray testImage(int size, quint16 major = 2, quint16 minor = 10,
                            const QString& description = QStringLiteral("x")) {
    QByteArray image(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        image[i] = char((i * 7 + i / 8192 + 3) & 0xFF);
    }
    FirmwareImageHeader header;
    header.magic = IMAGE_MAGIC;
    header.versionMajor = major;
    header.versionMinor = minor;
    header.setDescription(description);
    if (size >= FirmwareImageHeader::SIZE) {
        image.replace(0, FirmwareImageHeader::SIZE, header.toBytes());
    }
    return image;
}

class Gen3ProbeFixture {
public:
    Gen3ProbeFixture() : bus(new EmulatedUsbBus), backend(std::unique_ptr<UsbBackend>(bus)) {}

    // Attaches a probe in place of any attached before; by default its loader answers at
    // once.
    void attachProbe(const Gen3ProbeOptions& options = instantOptions()) {
        bus->detachAll();
        device = bus->attach(createGen3Probe(QStringLiteral("K3000001"), options));
        loader = gen3LoaderOf(*device);
        ASSERT_NE(loader, nullptr);
    }

    static Gen3ProbeOptions instantOptions() {
        Gen3ProbeOptions options;
        options.loader.timing = Gen3Loader::Timing::instant();
        return options;
    }

    UsbDeviceInfo record() const {
        const UsbDeviceList devices = bus->enumerate();
        return devices.isEmpty() ? UsbDeviceInfo() : devices.first();
    }

    // The bytes the host sent over bulk OUT, in order.
    QList<QByteArray> bulkOut() const {
        QList<QByteArray> out;
        for (const UsbFrame& frame :
             device->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::Out)) {
            out << frame.bytes;
        }
        return out;
    }

    VirtualClock clock{5000};
    ScopedClock scopedClock{clock};
    EmulatedUsbBus* bus;
    ScopedUsbBackend backend;
    std::shared_ptr<EmulatedDevice> device;
    Gen3Loader* loader = nullptr;
};
