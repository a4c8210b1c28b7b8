// The `gen3` kind of KVTOOL_EMULATE: its options and the probe they make.
#include "Gen3ProbeFixture.h"

#include "device/Ftd2xxDataLink.h"
#include "emu/EmulatorSetup.h"
#include "gen3/LoaderCommands.h"

#include <gtest/gtest.h>

namespace {

class Gen3ProbeOptionsTest : public ::testing::Test, public Gen3ProbeFixture {
protected:
    // The probe that the one item of `text` makes, attached to the bus.
    void attachFromSpec(const char* text) {
        const EmulatorSetup spec = EmulatorSetup::parse(QLatin1String(text));
        ASSERT_TRUE(spec.errors.isEmpty()) << spec.errors.join(u'\n').toStdString();
        ASSERT_EQ(spec.items.size(), 1);
        device = bus->attach(spec.items.first().create());
        loader = gen3LoaderOf(*device);
        ASSERT_NE(loader, nullptr);
    }
};

TEST_F(Gen3ProbeOptionsTest, OptionsSetTheInstalledImageBusyRepliesMemoryAndFaults) {
    attachFromSpec(
        "gen3:serial=K3ABC:version=2.5:desc=bench unit:busy=2:memory=64K:"
        "fault=erase-tag@2+info-short@2");
    EXPECT_EQ(device->serialNumber(), QStringLiteral("K3ABC"));
    EXPECT_EQ(loader->memory().size(), 64 * 1024);
    Ftd2xxDataLink link(record());
    const LoaderInfo info = getLoaderInfo(link);
    EXPECT_EQ(info.imageState, IMAGE_STATE_INSTALLED);
    EXPECT_EQ(imageVersionText(info.imageHeader), QStringLiteral("2.5 - bench unit"));
    EXPECT_EQ(thrownMessage([&] { getLoaderInfo(link); }), "read timed out");

    connectLoader(link);
    EXPECT_EQ(loader->commands(LoaderCommand::Connect).size(), 3);  // busy, busy, connected
    eraseMemory(link, 0x2000, 8192);
    EXPECT_EQ(thrownMessage([&] { eraseMemory(link, 0x4000, 8192); }),
              "memory erase failed, unexpected tag returned");
}

TEST_F(Gen3ProbeOptionsTest, DefaultsAndAProbeWithoutImage) {
    attachFromSpec("gen3");
    EXPECT_EQ(loader->memory().size(), 256 * 1024);
    EXPECT_EQ(imageVersionText(loader->loaderInfo().imageHeader),
              QStringLiteral("1.3 - factory build"));
    EXPECT_EQ(loader->memory().left(FACTORY_IMAGE_SIZE),
              factoryImage(1, 3, QStringLiteral("factory build")));

    attachFromSpec("gen3:installed=no");
    EXPECT_EQ(loader->loaderInfo().imageState, 0u);
    EXPECT_EQ(loader->memory(), QByteArray(qsizetype(256) * 1024, '\xFF'));

    // A memory too small for the factory image still reports its header.
    attachFromSpec("gen3:memory=64");
    EXPECT_EQ(loader->loaderInfo().imageState, IMAGE_STATE_INSTALLED);
}

TEST(Gen3ProbeSpec, MalformedValuesAreReportedAndTheItemLeftOut) {
    for (const char* text :
         {"gen3:version=1", "gen3:version=1.70000", "gen3:installed=maybe", "gen3:busy=-1",
          "gen3:busy=many", "gen3:memory=63", "gen3:memory=257M", "gen3:memory=1G",
          "gen3:fault=erase-bogus", "gen3:fault=crc-fail", "gen3:colour=x"}) {
        const EmulatorSetup spec = EmulatorSetup::parse(QLatin1String(text));
        EXPECT_EQ(spec.errors.size(), 1) << text;
        EXPECT_TRUE(spec.items.isEmpty()) << text;
    }
    const EmulatorSetup spec =
        EmulatorSetup::parse(QStringLiteral("gen3:fault=unplug@2+crc-mismatch@*"));
    EXPECT_TRUE(spec.errors.isEmpty());
    EXPECT_TRUE(EmulatorSetup::kindDescriptions().join(u'\n').contains(QStringLiteral("fault")));
}

}  // namespace
