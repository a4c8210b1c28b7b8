#include "ImageBytes.h"

#include "app/HException.h"
#include "gen2/KV2FirmwareImage.h"
#include "support/ThrownMessage.h"

#include <QDateTime>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <string>

using namespace imagebytes;

namespace {

// ---- The three searches, in their order ----------------------------------------------

struct SearchCase {
    const char* name;
    int size;
    Parts parts;
    std::optional<std::pair<int, int>> field;  // serialOffset, serialLength
    const char* message;                       // when no field is expected
    friend void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }
};

class KV2ImageSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(KV2ImageSearch, FindsTheFieldOrReportsTheFirstMissingMark) {
    const SearchCase& c = GetParam();
    TempFiles files;
    const QString path = files.write(QStringLiteral("kv.bin"), image(c.size, c.parts));
    KV2FirmwareImage loaded;
    if (c.field) {
        ASSERT_NO_THROW(loaded.load(path, QString()));
        EXPECT_EQ(loaded.serialOffset, c.field->first);
        EXPECT_EQ(loaded.serialLength, c.field->second);
        EXPECT_EQ(loaded.data.size(), c.size);
    } else {
        EXPECT_EQ(thrownMessage([&] { loaded.load(path, QString()); }), c.message);
        EXPECT_TRUE(loaded.data.isEmpty());
    }
}

Parts descriptorAndMaker() {
    return {{2000, devicePattern()}, {2100, makerName()}};
}

Parts with(Parts parts, const Parts& more) {
    parts.insert(parts.end(), more.begin(), more.end());
    return parts;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KV2ImageSearch,
    ::testing::Values(
        SearchCase{"MarkerAt1000Length34", 4096,
                   with(descriptorAndMaker(), {{1000, serialHeader(34)}}), std::pair{1006, 16},
                   nullptr},
        SearchCase{"MarkerAt1000Length33", 4096,
                   with(descriptorAndMaker(), {{1000, serialHeader(33)}}), std::pair{1006, 15},
                   nullptr},
        SearchCase{"TwoMarkersTheHigherWins", 4096,
                   with(descriptorAndMaker(), {{1000, serialHeader(34)}, {3000, serialHeader(18)}}),
                   std::pair{3006, 8}, nullptr},
        SearchCase{"TwoMarkersTheHigherWinsBelowTheOthers", 4096,
                   with(descriptorAndMaker(), {{700, serialHeader(34)}, {1500, serialHeader(4)}}),
                   std::pair{1506, 1}, nullptr},
        SearchCase{"MarkerAtOffsetZero", 4096, with(descriptorAndMaker(), {{0, serialHeader(10)}}),
                   std::pair{6, 4}, nullptr},
        // The searches reach the last possible offsets.
        SearchCase{"MarksInTheLastBytes",
                   1000,
                   {{600, serialHeader(6)},
                    {976, devicePattern()},
                    {982, makerName()},
                    {994, serialHeader(2)}},
                   std::pair{1000, 0},
                   nullptr},
        SearchCase{"EmptyFile", 0, {}, std::nullopt, "Cannot find serial number"},
        SearchCase{"ThreeBytes",
                   3,
                   {{0, QByteArrayLiteral("(@)")}},
                   std::nullopt,
                   "Cannot find serial number"},
        SearchCase{"NoMarkAtAll", 4096, {}, std::nullopt, "Cannot find serial number"},
        SearchCase{"NoMarkerButTheOthers", 4096, descriptorAndMaker(), std::nullopt,
                   "Cannot find serial number"},
        SearchCase{"MarkerOnly", 4096, {{1000, serialHeader(34)}}, std::nullopt, "Cannot find PID"},
        SearchCase{"MarkerAndMakerNoDescriptor",
                   4096,
                   {{1000, serialHeader(34)}, {2100, makerName()}},
                   std::nullopt,
                   "Cannot find PID"},
        SearchCase{"DescriptorPatternOneByteShort",
                   4096,
                   {{1000, serialHeader(34)}, {2000, devicePattern().left(5)}, {2100, makerName()}},
                   std::nullopt,
                   "Cannot find PID"},
        SearchCase{"MarkerAndDescriptorNoMaker",
                   4096,
                   {{1000, serialHeader(34)}, {2000, devicePattern()}},
                   std::nullopt,
                   "Bad firmware file"},
        // The name must be UTF-16LE; plain "Tolvek" does not count.
        SearchCase{"MakerNameAsPlainText",
                   4096,
                   {{1000, serialHeader(34)},
                    {2000, devicePattern()},
                    {2100, QByteArrayLiteral("Tolvek")}},
                   std::nullopt,
                   "Bad firmware file"}));

// ---- Images the searches alone would not guard -------------------------------------------

struct RefusalCase {
    const char* name;
    int size;
    Parts parts;
    const char* messageStart;
    friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class KV2ImageRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(KV2ImageRefusal, IsRefusedAndLeavesTheImageAsItWas) {
    const RefusalCase& c = GetParam();
    TempFiles files;
    KV2FirmwareImage loaded;
    loaded.load(files.write(QStringLiteral("good.bin"), validImage()), QString());
    const KV2FirmwareImage before = loaded;

    const QString path = files.write(QStringLiteral("bad.bin"), image(c.size, c.parts));
    const std::string message = thrownMessage([&] { loaded.load(path, QString()); });
    EXPECT_EQ(message.rfind(c.messageStart, 0), 0u) << message;
    EXPECT_EQ(loaded.data, before.data);
    EXPECT_EQ(loaded.serialOffset, before.serialOffset);
    EXPECT_EQ(loaded.serialLength, before.serialLength);
}

Parts allLow() {
    return {{0, serialHeader(18)}, {30, devicePattern()}, {40, makerName()}};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KV2ImageRefusal,
    ::testing::Values(
        RefusalCase{"ShorterThanTheHeadCopy", 639, allLow(),
                    "Firmware image is too small (639 bytes"},
        RefusalCase{"ShorterThanTheApplicationZone", 300, allLow(),
                    "Firmware image is too small (300"},
        RefusalCase{"JustTheMarks", 52, allLow(), "Firmware image is too small (52"},
        RefusalCase{"MarkerInTheLastFourBytes", 1000, with(allLow(), {{996, marker()}}),
                    "Serial number marker at the end"},
        RefusalCase{"LengthByteButNoTypeByte", 1000, with(allLow(), {{995, marker() + char(2)}}),
                    "Serial number field runs past"},
        RefusalCase{"FieldOneByteTooLong", 1000, with(allLow(), {{963, serialHeader(34)}}),
                    "Serial number field runs past"},
        RefusalCase{"LengthByte255", 1000, with(allLow(), {{900, serialHeader(255)}}),
                    "Serial number field runs past"}));

TEST(KV2FirmwareImage, AFieldEndingExactlyAtTheEndIsAccepted) {
    TempFiles files;
    // 16 characters from 962 + 6 = 968 end at 1000.
    const QString path = files.write(QStringLiteral("kv.bin"),
                                     image(1000, with(allLow(), {{962, serialHeader(34)}})));
    KV2FirmwareImage loaded;
    loaded.load(path, QStringLiteral("ABCDEFGHIJKLMNOP"));
    EXPECT_EQ(loaded.serialOffset, 968);
    EXPECT_EQ(
        loaded.data.right(32),
        QByteArray::fromHex("4100420043004400450046004700480049004a004b004c004d004e004f005000"));
}

TEST(KV2FirmwareImage, MissingOrUnreadableFilesCannotBeOpened) {
    TempFiles files;
    KV2FirmwareImage loaded;
    const QString missing = files.path(QStringLiteral("kv_alder_max.bin"));
    EXPECT_EQ(thrownMessage([&] { loaded.load(missing, QString()); }),
              "Cannot open " + missing.toStdString());
    // The message names the native form of the path.
    const QString backslashed = QString(missing).replace(QLatin1Char('/'), QLatin1Char('\\'));
    EXPECT_EQ(thrownMessage([&] { loaded.load(backslashed, QString()); }),
              "Cannot open " + missing.toStdString());
    // Only regular files are read: a FIFO named like an image would block the window for
    // good, a device would be read without end.
    const QString fifo = files.path(QStringLiteral("kv_birch_max.bin"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& notAFile :
         {QFileInfo(missing).absolutePath(), fifo, QStringLiteral("/dev/zero")})
        EXPECT_EQ(thrownMessage([&] { loaded.load(notAFile, QString()); }),
                  "Cannot open " + notAFile.toStdString());
    // Opens, but every read fails (nothing is mapped at address 0).
    EXPECT_EQ(thrownMessage([&] { loaded.load(HPath("/proc/self/mem"), QString()); }),
              "Cannot read /proc/self/mem");
}

TEST(KV2FirmwareImage, OversizedFilesAreRefusedWithoutReadingThemWhole) {
    TempFiles files;
    const QString path = files.write(
        QStringLiteral("big.bin"), validImage(1000, 16, int(KV2FirmwareImage::MAX_FILE_SIZE) + 1));
    KV2FirmwareImage loaded;
    EXPECT_EQ(
        thrownMessage([&] { loaded.load(path, QString()); }).rfind("Firmware file is too large", 0),
        0u);
    // One byte less is read.
    const QString largest = files.write(QStringLiteral("largest.bin"),
                                        validImage(1000, 16, int(KV2FirmwareImage::MAX_FILE_SIZE)));
    ASSERT_NO_THROW(loaded.load(largest, QString()));
    EXPECT_EQ(loaded.data.size(), KV2FirmwareImage::MAX_FILE_SIZE);
}

// ---- Head copy --------------------------------------------------------------------------

TEST(KV2FirmwareImage, HeadCopyReplacesBytes512To639AndNothingElse) {
    TempFiles files;
    const QByteArray file = validImage();
    KV2FirmwareImage loaded;
    loaded.load(files.write(QStringLiteral("kv.bin"), file), QString());

    ASSERT_EQ(loaded.data.size(), file.size());
    EXPECT_NE(file.mid(512, 128), file.left(128));  // the test would prove nothing otherwise
    EXPECT_EQ(loaded.data.mid(512, 128), file.left(128));
    EXPECT_EQ(loaded.data.left(512), file.left(512));
    EXPECT_EQ(loaded.data.mid(640), file.mid(640));
}

TEST(KV2FirmwareImage, HeadCopyOfTheSmallestImage) {
    TempFiles files;
    const QByteArray file = image(640, allLow(), true);
    KV2FirmwareImage loaded;
    loaded.load(files.write(QStringLiteral("kv.bin"), file), QString());
    EXPECT_EQ(loaded.data.mid(512), file.left(128));
}

TEST(KV2FirmwareImage, SerialFieldInsideTheHeadCopyIsPatchedAfterTheCopy) {
    TempFiles files;
    // Marker at 600: the field covers 606 to 621, inside 512 to 639.
    const QByteArray file = validImage(600, 8);
    KV2FirmwareImage loaded;
    loaded.load(files.write(QStringLiteral("kv.bin"), file), QStringLiteral("K2000001"));

    EXPECT_EQ(loaded.serialOffset, 606);
    EXPECT_EQ(loaded.data.mid(606, 16), QByteArray::fromHex("4b003200300030003000300030003100"));
    QByteArray expected = file.left(128);                       // the copy ...
    expected.replace(606 - 512, 16, loaded.data.mid(606, 16));  // ... with the patch over it
    EXPECT_EQ(loaded.data.mid(512, 128), expected);
    EXPECT_EQ(loaded.serialNumber(), QStringLiteral("K2000001"));
}

// ---- Patching ---------------------------------------------------------------------------

class KV2Patch : public ::testing::Test {
protected:
    void SetUp() override {
        loaded.load(files.write(QStringLiteral("kv.bin"), validImage(1000, 16)), QString());
        original = loaded.data;
    }
    TempFiles files;
    KV2FirmwareImage loaded;
    QByteArray original;
};

TEST_F(KV2Patch, WrongLengthNamesTheSerialNumberAndWritesNothing) {
    EXPECT_EQ(thrownMessage([&] { loaded.patchSerialNumber(QStringLiteral("ABC")); }),
              "Cannot set serial number, incorrect size (ABC)");
    EXPECT_EQ(thrownMessage([&] { loaded.patchSerialNumber(QString()); }),
              "Cannot set serial number, incorrect size ()");
    EXPECT_EQ(thrownMessage([&] { loaded.patchSerialNumber(QStringLiteral("K2000001K20000012")); }),
              "Cannot set serial number, incorrect size (K2000001K20000012)");
    EXPECT_EQ(loaded.data, original);
}

TEST_F(KV2Patch, WritesTheLowByteOfEachUnitThenZero) {
    // U+0141 keeps 0x41, U+00E9 is written whole.
    loaded.patchSerialNumber(QStringLiteral("K200000\u0141\u00e9ABCDEFG"));
    EXPECT_EQ(loaded.data.mid(1006, 32),
              QByteArray::fromHex("4b003200300030003000300030004100e900410042004300440045004600470"
                                  "0"));
    EXPECT_EQ(loaded.serialNumber(), QStringLiteral("K200000A\u00e9ABCDEFG"));
    // Only the field changed.
    EXPECT_EQ(loaded.data.left(1006), original.left(1006));
    EXPECT_EQ(loaded.data.mid(1038), original.mid(1038));
}

TEST_F(KV2Patch, LoadWithASerialNumberOfTheWrongLengthFails) {
    KV2FirmwareImage other;
    EXPECT_EQ(thrownMessage([&] {
                  other.load(files.path(QStringLiteral("kv.bin")), QStringLiteral("K2000001"));
              }),
              "Cannot set serial number, incorrect size (K2000001)");
    EXPECT_TRUE(other.data.isEmpty());
}

TEST_F(KV2Patch, AFieldPlacedOutsideTheImageIsNeverWritten) {
    loaded.serialOffset = int(loaded.data.size()) - 10;  // 16 characters would run past
    EXPECT_EQ(thrownMessage([&] { loaded.patchSerialNumber(QStringLiteral("ABCDEFGHIJKLMNOP")); }),
              "Serial number field runs past the end of the image");
    loaded.serialOffset = -100;
    EXPECT_THROW(loaded.patchSerialNumber(QStringLiteral("ABCDEFGHIJKLMNOP")), HException);
    EXPECT_THROW(loaded.serialNumber(), HException);
    EXPECT_EQ(loaded.data, original);
}

TEST(KV2FirmwareImage, EmptyFieldTakesOnlyAnEmptySerialNumber) {
    TempFiles files;
    KV2FirmwareImage loaded;
    loaded.load(files.write(QStringLiteral("kv.bin"), validImage(1000, 0)), QString());
    const QByteArray before = loaded.data;
    EXPECT_EQ(loaded.serialLength, 0);
    loaded.patchSerialNumber(QString());
    EXPECT_EQ(loaded.data, before);
    EXPECT_EQ(thrownMessage([&] { loaded.patchSerialNumber(QStringLiteral("K")); }),
              "Cannot set serial number, incorrect size (K)");
}

// A length byte of 0 or 1 gives a field of -1 characters, which no serial number fits.
TEST(KV2FirmwareImage, LengthByteBelowTwoTakesNoSerialNumber) {
    for (const int lengthByte : {0, 1}) {
        TempFiles files;
        KV2FirmwareImage loaded;
        loaded.load(files.write(QStringLiteral("kv.bin"),
                                image(4096, with(descriptorAndMaker(),
                                                 {{1000, serialHeader(lengthByte)}}))),
                    QString());
        EXPECT_EQ(loaded.serialLength, -1);
        const QByteArray before = loaded.data;
        EXPECT_EQ(thrownMessage([&] { loaded.patchSerialNumber(QString()); }),
                  "Cannot set serial number, incorrect size ()");
        EXPECT_EQ(loaded.data, before);
        EXPECT_EQ(loaded.serialNumber(), QString());
    }
}

// ---- The file on disk --------------------------------------------------------------------

TEST(KV2FirmwareImage, LoadingAndPatchingNeverWriteTheFile) {
    TempFiles files;
    const QByteArray file = validImage(600, 8);
    const QString path = files.write(QStringLiteral("kv.bin"), file);
    const QDateTime past = QDateTime::fromSecsSinceEpoch(1'000'000'000);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(past, QFileDevice::FileModificationTime));
    }

    KV2FirmwareImage loaded;
    loaded.load(path, QStringLiteral("K2000001"));
    loaded.patchSerialNumber(QStringLiteral("K2999999"));

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), file);
    EXPECT_EQ(QFileInfo(path).lastModified(), past);
    EXPECT_NE(loaded.data, file);
}

}  // namespace
