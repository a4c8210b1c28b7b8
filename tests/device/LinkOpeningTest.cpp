#include "device/Ftd2xxDataLink.h"
#include "device/PipeDataLink.h"

#include "EmulatedLinkFixture.h"

#include <functional>
#include <ostream>

namespace {

enum class LinkKind { Ftd2xx, Pipe };

struct OpeningCase {
    const char* name;
    LinkKind kind;
    std::function<UsbDeviceInfo(EmulatedLinkFixture&, EmulatedDevice&)> arm;
    const char* message;
    friend void PrintTo(const OpeningCase& c, std::ostream* os) { *os << c.name; }
};

class LinkOpening : public EmulatedLinkFixture, public ::testing::WithParamInterface<OpeningCase> {
public:
    static UsbDeviceInfo found(EmulatedLinkFixture& f) { return f.bus->enumerate().value(0); }
    // Arms `faults` and returns the device's own record.
    static auto withFaults(const std::function<void(TransportFaults&)>& faults) {
        return [faults](EmulatedLinkFixture& f, EmulatedDevice& device) {
            faults(device.faults());
            return found(f);
        };
    }
};

// Every failure while opening throws its message and leaves nothing open.
TEST_P(LinkOpening, FailsWithItsMessageAndLeavesNothingOpen) {
    const OpeningCase& c = GetParam();
    if (c.kind == LinkKind::Ftd2xx) {
        attachGeneration3();
    } else {
        attachGeneration2();
    }
    const UsbDeviceInfo record = c.arm(*this, *device);
    EXPECT_EQ(thrownMessage([&] {
                  if (c.kind == LinkKind::Ftd2xx) {
                      Ftd2xxDataLink link(record);
                  } else {
                      PipeDataLink link(record);
                  }
              }),
              c.message);
    EXPECT_EQ(device->openConnections(), 0);
}

const auto busy =
    LinkOpening::withFaults([](TransportFaults& f) { f.refuseOpen(OpenRefusal::Busy); });
const auto refused =
    LinkOpening::withFaults([](TransportFaults& f) { f.refuseOpen(OpenRefusal::Other); });
const auto wrongPath = [](EmulatedLinkFixture&, EmulatedDevice& device) {
    return UsbDeviceInfo(device.vendorId(), device.productId(), device.serialNumber(),
                         "emulated:99");
};
const auto unpluggedSinceFound = [](EmulatedLinkFixture& f, EmulatedDevice& device) {
    UsbDeviceInfo record = LinkOpening::found(f);
    device.unplug();
    return record;
};

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkOpening,
    ::testing::Values(
        OpeningCase{"Ftd2xxBusy", LinkKind::Ftd2xx, busy, "device already in use"},
        OpeningCase{"PipeBusy", LinkKind::Pipe, busy, "device already in use"},
        OpeningCase{"Ftd2xxRefused", LinkKind::Ftd2xx, refused, "cannot open device driver"},
        OpeningCase{"PipeRefused", LinkKind::Pipe, refused, "cannot open device driver"},
        OpeningCase{"Ftd2xxWrongPath", LinkKind::Ftd2xx, wrongPath, "cannot open device driver"},
        OpeningCase{"PipeWrongPath", LinkKind::Pipe, wrongPath, "cannot open device driver"},
        OpeningCase{"Ftd2xxUnplugged", LinkKind::Ftd2xx, unpluggedSinceFound,
                    "cannot open device driver"},
        OpeningCase{"PipeUnplugged", LinkKind::Pipe, unpluggedSinceFound,
                    "cannot open device driver"},
        OpeningCase{"PipeReset", LinkKind::Ftd2xx,
                    LinkOpening::withFaults([](TransportFaults& f) { f.failPipeReset(); }),
                    "Cannot set reset on pipe"},
        OpeningCase{"LatencyTimer", LinkKind::Ftd2xx,
                    LinkOpening::withFaults([](TransportFaults& f) { f.failVendorRequest(9, 1); }),
                    "Cannot set latency timer"},
        OpeningCase{"PurgeRx", LinkKind::Ftd2xx,
                    LinkOpening::withFaults([](TransportFaults& f) { f.failVendorRequest(0, 1); }),
                    "cannot purge RX"},
        OpeningCase{"PurgeTx", LinkKind::Ftd2xx,
                    LinkOpening::withFaults([](TransportFaults& f) { f.failVendorRequest(0, 2); }),
                    "cannot purge TX"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinkOpeningWithoutFunction, ADeviceWithoutAFunctionCannotBeOpened) {
    auto* bus = new EmulatedUsbBus;
    ScopedUsbBackend backend{std::unique_ptr<UsbBackend>(bus)};
    bus->attach(std::make_shared<EmulatedDevice>(0x046D, 0xC52B, QStringLiteral("mouse")));
    EXPECT_EQ(thrownMessage([&] { Ftd2xxDataLink link(bus->enumerate()[0]); }),
              "cannot open device driver");
}

// A backend that tells whether the links got as far as asking it to open.
class ProbingBackend : public UsbBackend {
public:
    UsbDeviceList enumerate() override { return {}; }
    std::unique_ptr<UsbPipes> open(const UsbDeviceInfo&) override {
        throw HException("reached the backend");
    }
};

struct PathCase {
    int length;
    const char* message;
    friend void PrintTo(const PathCase& c, std::ostream* os) { *os << c.length << " chars"; }
};

class DevicePathLength : public ::testing::TestWithParam<PathCase> {};

// The path, a backslash and the six characters of a pipe name must stay below the
// 256-byte name buffer; a longer path is refused, never shortened.
TEST_P(DevicePathLength, PathsThatWouldOverflowThePipeNameAreRefused) {
    ScopedUsbBackend backend{std::make_unique<ProbingBackend>()};
    const UsbDeviceInfo record(PROBE_VENDOR_ID, 3, "K3", QString(GetParam().length, u'p'));
    EXPECT_EQ(thrownMessage([&] { Ftd2xxDataLink link(record); }), GetParam().message);
    EXPECT_EQ(thrownMessage([&] { PipeDataLink link(record); }), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Boundary, DevicePathLength,
                         ::testing::Values(PathCase{248, "reached the backend"},
                                           PathCase{249, "cannot open device driver"},
                                           PathCase{4000, "cannot open device driver"}));

TEST(DevicePathLength, MultiByteCharactersCountAsTheirBytes) {
    ScopedUsbBackend backend{std::make_unique<ProbingBackend>()};
    // 124 two-byte characters: 248 bytes; one more character makes 250.
    const QString accented(124, QChar(0x00E9));
    EXPECT_EQ(thrownMessage([&] { PipeDataLink link(UsbDeviceInfo(0, 0, "", accented)); }),
              "reached the backend");
    EXPECT_EQ(thrownMessage(
                  [&] { PipeDataLink link(UsbDeviceInfo(0, 0, "", accented + QChar(0x00E9))); }),
              "cannot open device driver");
}

}  // namespace
