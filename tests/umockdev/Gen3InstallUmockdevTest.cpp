// A whole generation-3 install through the Linux backend: the probe is found by sysfs
// discovery and driven through libusb, with umockdev faking the device node and the
// emulated loader answering the usbdevfs traffic. Real time: the loader answers at once.
#include "UmockdevTestbed.h"
#include "UsbdevfsHandler.h"

#include "app/HException.h"
#include "device/Ftd2xxDataLink.h"
#include "device/LinuxUsbBackend.h"
#include "device/UsbDiscovery.h"
#include "device/UsbIds.h"
#include "emu/Gen3Probe.h"
#include "gen3/Gen3Engine.h"
#include "gen3/ImageFile.h"
#include "support/ThrownMessage.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

QByteArray imageOf(int size, quint16 major, quint16 minor) {
    QByteArray image(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        image[i] = char(i * 13 + i / 8192);
    }
    FirmwareImageHeader header;
    header.magic = IMAGE_MAGIC;
    header.versionMajor = major;
    header.versionMinor = minor;
    header.setDescription(QStringLiteral("via libusb"));
    return image.replace(0, FirmwareImageHeader::SIZE, header.toBytes());
}

class Gen3InstallUmockdevTest : public ::testing::Test {
protected:
    void attach(const QString& faults = QString()) {
        Gen3ProbeOptions options;
        options.loader.timing = Gen3Loader::Timing::instant();
        options.faults = *Gen3LoaderFault::parseList(faults);
        device = createGen3Probe(QStringLiteral("K3000001"), options);
        loader = gen3LoaderOf(*device);
        handler.emplace(device);
        ASSERT_TRUE(testbed.valid());
        testbed.addRootHub();
        ASSERT_TRUE(testbed.addUsbDevice(
            {"1-1", 1, 2, PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3, "K3000001"}, &*handler));
        backend.emplace(std::make_unique<LinuxUsbBackend>());
    }
    void TearDown() override { backend.reset(); }

    // The one probe that discovery finds.
    UsbDeviceInfo probe() const {
        const UsbDeviceList probes = enumerateUsbDevices().select(PROBE_VENDOR_ID, -1);
        EXPECT_EQ(probes.size(), 1);
        return probes.isEmpty() ? UsbDeviceInfo() : probes.first();
    }

    std::shared_ptr<EmulatedDevice> device;
    Gen3Loader* loader = nullptr;
    // Destroyed in reverse: libusb first, then the testbed, then the handler it calls.
    std::optional<UsbdevfsHandler> handler;
    UmockdevTestbed testbed;
    std::optional<ScopedUsbBackend> backend;
};

TEST_F(Gen3InstallUmockdevTest, InstallsAnImageAndTheLoaderReportsIt) {
    attach();
    const UsbDeviceInfo record = probe();
    EXPECT_EQ(record.productId, PRODUCT_ID_GENERATION3);
    EXPECT_EQ(record.serialNumber(), QStringLiteral("K3000001"));
    Gen3Engine installer;
    EXPECT_EQ(installer.readInstalled(record).versionText, QStringLiteral("1.3 - factory build"));

    const QByteArray image = imageOf(20000, 2, 10);
    int reports = 0;
    QObject::connect(&installer, &Gen3Engine::progress, [&] { ++reports; });
    {
        Ftd2xxDataLink link(record);
        installer.installImage(link, image);
    }
    EXPECT_EQ(reports, 3 * 4);  // start and three chunks, per phase
    device->withLock([&] {
        EXPECT_EQ(loader->memory().left(image.size()), image);
        EXPECT_EQ(loader->commands(LoaderCommand::Write).size(), 3);
        EXPECT_FALSE(loader->connected());
    });
    EXPECT_EQ(handler->counts().claims, handler->counts().releases);
    EXPECT_EQ(handler->urbsOutstanding(), 0);

    EXPECT_EQ(installer.readInstalled(probe()).versionText, QStringLiteral("2.10 - via libusb"));
}

TEST_F(Gen3InstallUmockdevTest, AProbeUnpluggedMidDownloadFailsTheWrite) {
    attach(QStringLiteral("unplug@2"));
    const QByteArray image = imageOf(20000, 2, 10);
    Gen3Engine installer;
    Ftd2xxDataLink link(probe());
    EXPECT_EQ(thrownMessage([&] { installer.installImage(link, image); }),
              "Download failed : write timed out");
    EXPECT_FALSE(device->present());
}

}  // namespace
