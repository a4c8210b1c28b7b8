#include "device/UsbBackend.h"
#include "device/UsbDeviceList.h"
#include "device/UsbDiscovery.h"
#include "device/UsbIds.h"
#include "emu/EmulatedUsbBus.h"

#include <gtest/gtest.h>

namespace {

UsbDeviceInfo record(quint16 vid, quint16 pid, const char* serial) {
    return UsbDeviceInfo(vid, pid, QString::fromLatin1(serial), QString());
}

QStringList serials(const UsbDeviceList& list) {
    QStringList out;
    for (const UsbDeviceInfo& device : list) {
        out << device.serialNumber();
    }
    return out;
}

const UsbDeviceList mixed = {
    record(0x131B, 0x00FF, "boot"), record(0x046D, 0x0002, "mouse"), record(0x131B, 0x0003, "g3a"),
    record(0x131B, 0x0002, "g2"),   record(0x131B, 0x0003, "g3b"),
};

struct SelectCase {
    int vendorId;
    int productId;
    QStringList expected;
    friend void PrintTo(const SelectCase& c, std::ostream* os) {
        *os << c.vendorId << ',' << c.productId;
    }
};

class Select : public ::testing::TestWithParam<SelectCase> {};

TEST_P(Select, KeepsMatchingRecordsInOrder) {
    EXPECT_EQ(serials(mixed.select(GetParam().vendorId, GetParam().productId)),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Select,
    ::testing::Values(SelectCase{0x131B, -1, {"boot", "g3a", "g2", "g3b"}},
                      SelectCase{0x131B, 3, {"g3a", "g3b"}}, SelectCase{0x131B, 2, {"g2"}},
                      SelectCase{0x131B, 0xFF, {"boot"}}, SelectCase{-1, 2, {"mouse", "g2"}},
                      SelectCase{-1, -1, {"boot", "mouse", "g3a", "g2", "g3b"}},
                      SelectCase{0x1234, -1, {}}, SelectCase{0x131B, 0x10003, {}}));

TEST(UsbDeviceList, SelectionSharesNothingWithTheSource) {
    UsbDeviceList source = mixed;
    const UsbDeviceList selected = source.select(-1, -1);
    source.clear();
    EXPECT_EQ(selected.size(), mixed.size());
}

TEST(UsbDiscovery, FindGeneration2DevicesPutsApplicationsBeforeBootloaders) {
    auto* bus = new EmulatedUsbBus;
    ScopedUsbBackend backend{std::unique_ptr<UsbBackend>(bus)};
    for (const UsbDeviceInfo& device : mixed) {
        bus->attach(std::make_shared<EmulatedDevice>(device.vendorId, device.productId,
                                                     device.serialNumber()));
    }
    EXPECT_EQ(serials(findGeneration2Devices()), QStringList({"g2", "boot"}));
    EXPECT_EQ(enumerateUsbDevices().size(), 5);
}

}  // namespace
