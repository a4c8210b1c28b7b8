#include "ImageBytes.h"

#include "app/HException.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2VersionRecord.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QProcess>

#include <gtest/gtest.h>

using imagebytes::TempFiles;

namespace {

KV2FirmwareImage loadGenerated(TempFiles& files, const KV2ImageSpec& spec,
                               const QString& serial = QString()) {
    KV2FirmwareImage image;
    image.load(files.write(QStringLiteral("kv.bin"), generateKV2Image(spec)), serial);
    return image;
}

std::optional<KV2VersionRecord> recordIn(const KV2FirmwareImage& image) {
    return KV2VersionRecord::find(kv2::applicationZone(image.data));
}

// ---- Version record ---------------------------------------------------------------------

TEST(KV2VersionRecord, LayoutAndRoundTrip) {
    const KV2VersionRecord record{0x0102, 0x0A0B, 0x000A};
    EXPECT_EQ(record.encode(), QByteArray::fromHex("4b5632560102 0a0b 000a"));
    EXPECT_EQ(KV2VersionRecord::find(record.encode()), record);
    const ProbeInfo info = record.applicationInfo();
    EXPECT_TRUE(info.isApplication());
    EXPECT_EQ(info.versionText(), QStringLiteral("258.2571"));
    EXPECT_EQ(kv2::bytesOf(info.encode()).sliced(2, 6), record.encode().mid(4));
}

TEST(KV2VersionRecord, TheHighestCompleteRecordCounts) {
    const QByteArray low = KV2VersionRecord{1, 1, 0x01}.encode();
    const QByteArray high = KV2VersionRecord{2, 2, 0x02}.encode();
    const QByteArray memory = QByteArray(50, 'x') + low + QByteArray(50, 'y') + high;
    EXPECT_EQ(KV2VersionRecord::find(memory)->flags, 0x02);
    // A tag without room for the words after it is not a record.
    EXPECT_EQ(KV2VersionRecord::find(QByteArray(memory + high.left(9)))->flags, 0x02);
    EXPECT_EQ(KV2VersionRecord::find(memory.chopped(1))->flags, 0x01);
    EXPECT_EQ(KV2VersionRecord::offsetIn(memory), 50 + 10 + 50);
    EXPECT_EQ(KV2VersionRecord::offsetIn(memory.chopped(1)), 50);
    EXPECT_FALSE(KV2VersionRecord::find(high.left(9)));
    EXPECT_FALSE(KV2VersionRecord::find(QByteArrayView()));
    EXPECT_FALSE(KV2VersionRecord::find(QByteArray(4000, 'z')));
}

// ---- Generator round trip ---------------------------------------------------------------

TEST(KV2ImageGenerator, DefaultImageLoadsWithEveryMarkWhereItWasPlaced) {
    TempFiles files;
    const KV2ImageSpec spec;
    const QByteArray bytes = generateKV2Image(spec);
    ASSERT_EQ(bytes.size(), 8192);
    EXPECT_EQ(bytes.mid(spec.deviceDescriptorPatternOffset(), 8),
              QByteArray::fromHex("000000401b130200"));
    EXPECT_EQ(bytes.mid(spec.makerNameOffset(), 12), imagebytes::makerName());

    EXPECT_EQ(loadGenerated(files, spec).serialNumber(), QStringLiteral("00000000"));
    const KV2FirmwareImage image = loadGenerated(files, spec, QStringLiteral("K2000001"));
    EXPECT_EQ(image.serialOffset, spec.serialFieldOffset());
    EXPECT_EQ(image.serialLength, 8);
    EXPECT_EQ(image.serialNumber(), QStringLiteral("K2000001"));
    EXPECT_EQ(recordIn(image), (KV2VersionRecord{2, 12, 0}));
}

struct PlacementCase {
    const char* name;
    int size;
    int serialFieldLength;
    int serialAt;
    int descriptorAt;
    int makerAt;
    int recordAt;
    friend void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }
};

class KV2GeneratorPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(KV2GeneratorPlacement, LoaderFindsTheMarksAndTheEmulatorItsRecord) {
    const PlacementCase& c = GetParam();
    KV2ImageSpec spec;
    spec.size = c.size;
    spec.serialFieldLength = c.serialFieldLength;
    spec.serialMarkerOffset = c.serialAt;
    spec.deviceDescriptorOffset = c.descriptorAt;
    spec.makerDescriptorOffset = c.makerAt;
    spec.versionRecordOffset = c.recordAt;
    spec.versionMajor = 3;
    spec.versionMinor = 7;
    spec.flags = 0x09;
    TempFiles files;
    // Patched, since a field inside bytes 512 to 639 loses its placeholder to the head copy.
    const QString serial(c.serialFieldLength, QLatin1Char('Q'));
    const KV2FirmwareImage image = loadGenerated(files, spec, serial);
    EXPECT_EQ(image.data.size(), c.size);
    EXPECT_EQ(image.serialOffset, c.serialAt + 6);
    EXPECT_EQ(image.serialLength, c.serialFieldLength);
    EXPECT_EQ(image.serialNumber(), serial);
    EXPECT_EQ(quint8(generateKV2Image(spec)[c.serialAt + 4]), 2 * c.serialFieldLength + 2);
    EXPECT_EQ(recordIn(image), (KV2VersionRecord{3, 7, 0x09}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KV2GeneratorPlacement,
    ::testing::Values(PlacementCase{"MarkerAt1000Field16", 4096, 16, 1000, 0x280, 0x2A0, 0x2C0},
                      PlacementCase{"LargestDownload", 13311, 8, 13311 - 22, 700, 13000, 13100},
                      PlacementCase{"OneByteTooLargeForTheDownload", 13312, 8, 5000, 700, 800, 900},
                      PlacementCase{"SmallestImage", 640 + 10, 8, 100, 0, 200, 640},
                      PlacementCase{"SerialInsideTheHeadCopy", 2048, 8, 600, 0x300, 0x320, 0x340},
                      PlacementCase{"EmptyField", 2048, 0, 1500, 0x300, 0x320, 0x340},
                      PlacementCase{"LongestField", 2048, 126, 1000, 0x300, 0x320, 0x340}));

TEST(KV2ImageGenerator, EachLeftOutMarkGivesTheLoadersMessage) {
    const std::pair<int KV2ImageSpec::*, const char*> cases[] = {
        {&KV2ImageSpec::serialMarkerOffset, "Cannot find serial number"},
        {&KV2ImageSpec::deviceDescriptorOffset, "Cannot find PID"},
        {&KV2ImageSpec::makerDescriptorOffset, "Bad firmware file"}};
    for (const auto& [member, message] : cases) {
        KV2ImageSpec spec;
        spec.*member = KV2ImageSpec::OMIT;
        TempFiles files;
        try {
            loadGenerated(files, spec);
            ADD_FAILURE() << "expected " << message;
        } catch (const HException& e) {
            EXPECT_STREQ(e.messageText(), message);
        }
    }
    KV2ImageSpec noRecord;
    noRecord.versionRecordOffset = KV2ImageSpec::OMIT;
    TempFiles files;
    EXPECT_FALSE(recordIn(loadGenerated(files, noRecord)));
}

TEST(KV2ImageGenerator, FillIsDeterministicPerSeedAndFreeOfStrayMarks) {
    KV2ImageSpec spec;
    spec.size = KV2ImageSpec::MAX_SIZE / 4;  // enough bytes for chance matches of 3 bytes
    spec.serialMarkerOffset = KV2ImageSpec::OMIT;
    spec.deviceDescriptorOffset = KV2ImageSpec::OMIT;
    spec.makerDescriptorOffset = KV2ImageSpec::OMIT;
    spec.versionRecordOffset = KV2ImageSpec::OMIT;
    const QByteArray first = generateKV2Image(spec);
    EXPECT_EQ(generateKV2Image(spec), first);
    EXPECT_EQ(first.indexOf(imagebytes::devicePattern()), -1);
    EXPECT_EQ(first.indexOf(imagebytes::marker()), -1);
    spec.seed = 2;
    EXPECT_NE(generateKV2Image(spec), first);
}

TEST(KV2ImageGenerator, RefusesSpecsThatCannotBeMade) {
    const auto refused = [](auto change) {
        KV2ImageSpec spec;
        change(spec);
        EXPECT_THROW(generateKV2Image(spec), HException);
    };
    refused([](KV2ImageSpec& s) { s.size = 0x2E0 + 20; });  // serial field past the end
    refused([](KV2ImageSpec& s) { s.serialMarkerOffset = 0x2C0 + 4; });  // overlaps the record
    refused([](KV2ImageSpec& s) { s.makerDescriptorOffset = 0x280 + 17; });
    refused([](KV2ImageSpec& s) { s.versionRecordOffset = 600; });  // lost to the head copy
    refused([](KV2ImageSpec& s) { s.serialText = QStringLiteral("K200001"); });
    refused([](KV2ImageSpec& s) { s.serialFieldLength = 127; });
    refused([](KV2ImageSpec& s) { s.size = -1; });
    refused([](KV2ImageSpec& s) { s.deviceDescriptorOffset = -5; });
    // Adjacent items are fine.
    KV2ImageSpec spec;
    spec.makerDescriptorOffset = 0x280 + 18;
    EXPECT_NO_THROW(generateKV2Image(spec));
}

// ---- Demo images and the command-line tool ----------------------------------------------

TEST(KV2ImageGenerator, DemoImagesCarryTheirVariantAndDiffer) {
    TempFiles files;
    const QString directory = files.path(QStringLiteral("firmware/demo"));
    const QStringList paths = writeKV2DemoImages(directory);
    ASSERT_EQ(paths.size(), 6);
    QList<QByteArray> contents;
    for (const kv2::TargetFamily family : kv2::TARGET_FAMILIES) {
        for (const kv2::JtagClocking clocking : kv2::JTAG_CLOCKINGS) {
            const QString path = QDir(directory).filePath(kv2::imageFileName(family, clocking));
            EXPECT_TRUE(paths.contains(path)) << path.toStdString();
            KV2FirmwareImage image;
            image.load(path, QStringLiteral("K2000001"));
            const auto record = recordIn(image);
            ASSERT_TRUE(record) << path.toStdString();
            EXPECT_EQ(kv2::familyOf(record->flags), family);
            EXPECT_EQ(kv2::clockingOf(record->flags), clocking);
            EXPECT_EQ(record->applicationInfo().versionText(), QStringLiteral("2.12"));
            EXPECT_LE(image.data.size(), kv2::MAX_IMAGE_SIZE);
            EXPECT_FALSE(contents.contains(image.data));
            contents.append(image.data);
        }
    }
}

class KV2ImageTool : public ::testing::Test {
protected:
    // Runs the tool; returns its exit code, with standard output in out.
    int run(const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral(KV2_IMAGE_TOOL), arguments);
        EXPECT_TRUE(process.waitForFinished(30000));
        out = QString::fromLocal8Bit(process.readAllStandardOutput());
        error = QString::fromLocal8Bit(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    TempFiles files;
    QString out;
    QString error;
};

TEST_F(KV2ImageTool, WritesAnImageWithTheGivenOptions) {
    const QString path = files.path(QStringLiteral("x.bin"));
    ASSERT_EQ(
        run({QStringLiteral("--size"), QStringLiteral("0x33FF"), QStringLiteral("--family"),
             QStringLiteral("birch"), QStringLiteral("--clocking"), QStringLiteral("var"),
             QStringLiteral("--version"), QStringLiteral("2.10"), QStringLiteral("--serial-length"),
             QStringLiteral("16"), QStringLiteral("--serial-at"), QStringLiteral("1000"), path}),
        0)
        << error.toStdString();
    KV2FirmwareImage image;
    image.load(path, QString());
    EXPECT_EQ(image.data.size(), 13311);
    EXPECT_EQ(image.serialOffset, 1006);
    EXPECT_EQ(image.serialLength, 16);
    const auto record = recordIn(image);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->applicationInfo().variantText(),
              QStringLiteral("Birch, Variable Speed and Adaptive"));
    EXPECT_EQ(record->applicationInfo().versionText(), QStringLiteral("2.10"));
}

TEST_F(KV2ImageTool, LeavesOutAMarkOnRequest) {
    const QString path = files.path(QStringLiteral("x.bin"));
    ASSERT_EQ(run({QStringLiteral("--maker-at"), QStringLiteral("none"), path}), 0);
    KV2FirmwareImage image;
    EXPECT_THROW(image.load(path, QString()), HException);
}

TEST_F(KV2ImageTool, WritesTheDemoImages) {
    const QString directory = files.path(QStringLiteral("demo"));
    ASSERT_EQ(run({QStringLiteral("--demo"), directory}), 0);
    EXPECT_EQ(out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size(), 6);
    EXPECT_EQ(QDir(directory).entryList(QDir::Files).size(), 6);
}

TEST_F(KV2ImageTool, HelpNamesTheDefaults) {
    ASSERT_EQ(run({QStringLiteral("--help")}), 0);
    EXPECT_TRUE(out.contains(QStringLiteral("--serial-at <offset>"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("(default 0x2e0)"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("(default 2.12)"))) << out.toStdString();
}

TEST_F(KV2ImageTool, RejectsBadOptionsWithoutWriting) {
    const QString path = files.path(QStringLiteral("x.bin"));
    EXPECT_EQ(run({QStringLiteral("--family"), QStringLiteral("oak"), path}), 2);
    EXPECT_EQ(run({QStringLiteral("--version"), QStringLiteral("2"), path}), 2);
    EXPECT_EQ(run({QStringLiteral("--size"), QStringLiteral("lots"), path}), 2);
    EXPECT_EQ(run({}), 2);
    EXPECT_EQ(run({QStringLiteral("--size"), QStringLiteral("100"), path}), 1);
    EXPECT_TRUE(error.contains(QStringLiteral("does not fit"))) << error.toStdString();
    EXPECT_FALSE(QFile::exists(path));
}

}  // namespace
