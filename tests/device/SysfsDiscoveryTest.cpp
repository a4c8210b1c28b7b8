#include "device/SysfsDiscovery.h"

#include "device/UsbIds.h"
#include "support/FakeSysfs.h"

#include <gtest/gtest.h>

namespace {

// The port is the device's sysfs name, which it keeps when it enumerates anew there.
TEST(SysfsDiscovery, ReadsIdsSerialDeviceNodeAndPort) {
    FakeSysfs sysfs;
    sysfs.addDevice("1-1.4", "131b", "0003", "K3000001", "1", "7");
    sysfs.addDevice("2-3", "46d", "c52b", "ABC", "2", "12");  // as the kernel writes it
    const UsbDeviceList devices = SysfsDiscovery(sysfs.root(), "/dev/bus/usb").enumerate();
    ASSERT_EQ(devices.size(), 2);
    EXPECT_EQ(devices[0], UsbDeviceInfo(0x131B, 3, "K3000001", "/dev/bus/usb/001/007", "1-1.4"));
    EXPECT_EQ(devices[1], UsbDeviceInfo(0x046D, 0xC52B, "ABC", "/dev/bus/usb/002/012", "2-3"));
}

TEST(SysfsDiscovery, EmptyOrMissingTreeGivesNoDevices) {
    FakeSysfs sysfs;
    EXPECT_TRUE(SysfsDiscovery(sysfs.root()).enumerate().isEmpty());
    EXPECT_TRUE(SysfsDiscovery(sysfs.root() + "/absent").enumerate().isEmpty());
}

struct IdCase {
    const char* text;
    quint16 value;
    friend void PrintTo(const IdCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
};

class UsbIdParsing : public ::testing::TestWithParam<IdCase> {};

TEST_P(UsbIdParsing, FourHexDigitsOrZero) {
    EXPECT_EQ(parseUsbId(QByteArray(GetParam().text)), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbIdParsing,
                         ::testing::Values(IdCase{"131b", 0x131B}, IdCase{"131B", 0x131B},
                                           IdCase{"0003", 3}, IdCase{"3", 3}, IdCase{"00ff", 0xFF},
                                           IdCase{"ff", 0xFF}, IdCase{"00G3", 0}, IdCase{"", 0},
                                           IdCase{"131b0", 0}, IdCase{"+123", 0}, IdCase{"0x12", 0},
                                           IdCase{" 123", 0}, IdCase{"ffff", 0xFFFF}));

TEST(SysfsDiscovery, MalformedEntriesGetZeroIdsAndEmptyTexts) {
    FakeSysfs sysfs;
    sysfs.addDevice("1-1", "131b", "00G3", "S1");
    sysfs.addDevice("1-2", "131B", "0002", nullptr);        // no serial attribute
    sysfs.addDevice("1-3", "131b", "", "S3");               // empty product id
    sysfs.addDevice("1-4", "131b", "0003", "S4", "x", "");  // no usable bus or address
    sysfs.addDevice("1-5", "zzzz", "0003", "S5");
    const UsbDeviceList devices = SysfsDiscovery(sysfs.root()).enumerate();
    ASSERT_EQ(devices.size(), 5);
    EXPECT_EQ(devices[0].productId, 0);
    EXPECT_EQ(devices[1].serialNumber(), QString());
    EXPECT_EQ(devices[1].productId, 2);
    EXPECT_EQ(devices[2].productId, 0);
    EXPECT_EQ(devices[3].devicePath(), QString());
    EXPECT_EQ(devices[4].vendorId, 0);
    // Only the entry with valid ids but no device node is a generation-3 probe.
    EXPECT_EQ(devices.select(PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3).size(), 1);
}

TEST(SysfsDiscovery, InterfacesHubsJunkAndHugeFilesAreHarmless) {
    FakeSysfs sysfs;
    sysfs.addDevice("1-1", "131b", "0003", "K3");
    sysfs.addDevice("1-1:1.0", "131b", "0003", "interface");      // an interface entry
    sysfs.addDirectory("usb-junk");                               // no uevent: not a device
    sysfs.addDevice("1-0", nullptr, nullptr, "no product line");  // not a device either
    sysfs.addFile("not-a-directory", "131b\n");
    sysfs.addDevice("1-2", "131b", "0002", nullptr);
    sysfs.addFile("1-2/serial", QByteArray(1 << 20, 'A'));  // absurdly long serial
    sysfs.addDevice("1-3", "131b", "0002", nullptr);
    sysfs.addFile("1-3/serial", QByteArray("\xff\xfe\0bad\n", 8));
    const UsbDeviceList devices = SysfsDiscovery(sysfs.root()).enumerate();
    ASSERT_EQ(devices.size(), 3);
    EXPECT_EQ(devices[0].serialNumber(), QStringLiteral("K3"));
    EXPECT_EQ(devices[1].serialNumber().size(), 256);
    EXPECT_EQ(devices[2].productId, 2);
}

TEST(SysfsDiscovery, ExaminesAtMostTheEnumerationBound) {
    FakeSysfs sysfs;
    for (int i = 0; i < ENUMERATION_BOUND + 10; ++i) {
        sysfs.addDevice(QStringLiteral("1-%1").arg(i, 3, 10, QLatin1Char('0')), "131b", "0003",
                        QByteArray::number(i).constData());
    }
    const UsbDeviceList devices = SysfsDiscovery(sysfs.root()).enumerate();
    ASSERT_EQ(devices.size(), ENUMERATION_BOUND);
    EXPECT_EQ(devices.first().serialNumber(), QStringLiteral("0"));
    EXPECT_EQ(devices.last().serialNumber(), QString::number(ENUMERATION_BOUND - 1));
}

}  // namespace
