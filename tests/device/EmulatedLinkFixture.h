#pragma once

// An emulated bus with one probe behind a scriptable function, on a virtual clock, for
// tests of the links.
#include "app/Clock.h"
#include "app/HException.h"
#include "device/UsbBackend.h"
#include "device/UsbIds.h"
#include "emu/EmulatedDevice.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/FtdiChip.h"
#include "emu/RawPacketPipe.h"
#include "emu/ScriptedFunctions.h"
#include "support/ThrownMessage.h"

#include <gtest/gtest.h>

#include <string>

class EmulatedLinkFixture : public ::testing::Test {
public:
    EmulatedLinkFixture()
        : bus(new EmulatedUsbBus), backend(std::unique_ptr<UsbBackend>(bus)), scoped(clock) {}

    // A generation-3 probe: FTDI-style chip with a scripted byte stream behind it.
    void attachGeneration3() {
        auto script = std::make_unique<ScriptedByteStream>();
        stream = script.get();
        auto ftdiChip = std::make_unique<FtdiChip>(std::move(script));
        chip = ftdiChip.get();
        device = std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3,
                                                  QStringLiteral("K3000001"), std::move(ftdiChip));
        bus->attach(device);
    }

    // A generation-2 probe: raw packet pipe with a scripted packet function behind it.
    void attachGeneration2() {
        auto script = std::make_unique<ScriptedPacketFunction>();
        packets = script.get();
        auto rawPipe = std::make_unique<RawPacketPipe>(std::move(script));
        pipe = rawPipe.get();
        device = std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, PRODUCT_ID_GENERATION2,
                                                  QStringLiteral("K2000001"), std::move(rawPipe));
        bus->attach(device);
    }

    UsbDeviceInfo record() const {
        const UsbDeviceList devices = bus->enumerate();
        return devices.isEmpty() ? UsbDeviceInfo() : devices.first();
    }

    QList<UsbFrame> bulkIn() const {
        return device->frameLog().select(UsbFrame::Kind::Bulk, UsbFrame::Direction::In);
    }
    QList<UsbFrame> controls() const {
        return device->frameLog().select(UsbFrame::Kind::Control, UsbFrame::Direction::Out);
    }

    EmulatedUsbBus* bus;
    ScopedUsbBackend backend;
    VirtualClock clock{1000};
    ScopedClock scoped;
    std::shared_ptr<EmulatedDevice> device;
    ScriptedByteStream* stream = nullptr;
    FtdiChip* chip = nullptr;
    ScriptedPacketFunction* packets = nullptr;
    RawPacketPipe* pipe = nullptr;
};
