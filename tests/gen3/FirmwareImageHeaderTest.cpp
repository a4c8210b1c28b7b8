#include "gen3/FirmwareImageHeader.h"
#include "gen3/LoaderInfo.h"

#include <QByteArray>

#include <gtest/gtest.h>

namespace {

// A header laid out by hand, byte by byte, independently of the encoder.
QByteArray handMadeHeader(quint16 major, quint16 minor, const QByteArray& description40) {
    QByteArray bytes = QByteArray::fromHex("0DF0FECA");                // magic
    bytes += QByteArray::fromHex("11111111222222223333333344444444");  // reserved
    bytes += char(major & 0xFF);
    bytes += char(major >> 8);
    bytes += char(minor & 0xFF);
    bytes += char(minor >> 8);
    bytes += description40.leftJustified(40, '\0', true);
    return bytes;
}

struct DescriptionCase {
    const char* name;
    QByteArray field;  // the 40 bytes (padded with NUL)
    QString text;
    friend void PrintTo(const DescriptionCase& c, std::ostream* os) { *os << c.name; }
};

class HeaderDescription : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(HeaderDescription, DecodesUpToNulOrFieldEnd) {
    const auto header = FirmwareImageHeader::fromBytes(handMadeHeader(2, 10, GetParam().field));
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->descriptionText(), GetParam().text);
    EXPECT_EQ(imageVersionText(*header), "2.10 - " + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderDescription,
    ::testing::Values(DescriptionCase{"short", "x", "x"},
                      DescriptionCase{"full40WithoutNul", QByteArray(40, 'D'), QString(40, u'D')},
                      DescriptionCase{"39ThenNul", QByteArray(39, 'e'), QString(39, u'e')},
                      DescriptionCase{"empty", QByteArray(), QString()},
                      DescriptionCase{"bytesAfterNulIgnored", QByteArray("ab\0cd", 5), "ab"},
                      DescriptionCase{"latin1", QByteArray("caf\xE9 \xB5", 6),
                                      QString::fromUtf8("café µ")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FirmwareImageHeader, DecodesEveryFieldFromItsOffset) {
    const auto header = FirmwareImageHeader::fromBytes(handMadeHeader(0x0102, 0xA0B0, "build"));
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->magic, IMAGE_MAGIC);
    EXPECT_TRUE(header->hasImageMagic());
    EXPECT_EQ(header->reserved,
              (std::array<quint32, 4>{0x11111111, 0x22222222, 0x33333333, 0x44444444}));
    EXPECT_EQ(header->versionMajor, 0x0102);
    EXPECT_EQ(header->versionMinor, 0xA0B0);
    EXPECT_EQ(header->descriptionText(), "build");
}

TEST(FirmwareImageHeader, EncodesToTheSameLayout) {
    const QByteArray bytes = handMadeHeader(7, 300, QByteArray(40, 'z'));
    const auto header = FirmwareImageHeader::fromBytes(bytes);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->toBytes(), bytes);
}

TEST(FirmwareImageHeader, RoundTripsEveryField) {
    FirmwareImageHeader header;
    header.magic = 0x01234567;
    header.reserved = {1, 0xFFFFFFFF, 0x80000000, 42};
    header.versionMajor = 65535;
    header.versionMinor = 1;
    header.setDescription(QString(40, u'q'));
    const QByteArray bytes = header.toBytes();
    ASSERT_EQ(bytes.size(), FirmwareImageHeader::SIZE);
    EXPECT_EQ(FirmwareImageHeader::fromBytes(bytes), header);
    EXPECT_FALSE(header.hasImageMagic());
}

TEST(FirmwareImageHeader, ShortInputHasNoHeader) {
    const QByteArray bytes = handMadeHeader(1, 0, "x");
    EXPECT_FALSE(FirmwareImageHeader::fromBytes(bytes.left(63)).has_value());
    EXPECT_FALSE(FirmwareImageHeader::fromBytes(QByteArray()).has_value());
    // Longer input: the header is its first 64 bytes.
    EXPECT_TRUE(FirmwareImageHeader::fromBytes(QByteArray(bytes + "payload")).has_value());
}

TEST(FirmwareImageHeader, ValidOnlyWithTheImageMagic) {
    const QByteArray valid = handMadeHeader(1, 0, "x") + "payload";
    QByteArray otherMagic = valid;
    otherMagic[0] = char(otherMagic[0] ^ 0x01);
    EXPECT_TRUE(FirmwareImageHeader::validFromBytes(valid).has_value());
    EXPECT_FALSE(FirmwareImageHeader::validFromBytes(otherMagic).has_value());
    EXPECT_FALSE(FirmwareImageHeader::validFromBytes(valid.left(63)).has_value());
}

TEST(FirmwareImageHeader, SetDescriptionKeepsFortyLatin1Characters) {
    FirmwareImageHeader header;
    header.setDescription(QString(45, u'w'));
    EXPECT_EQ(header.descriptionText(), QString(40, u'w'));
    header.setDescription(QString::fromUtf8("é"));
    EXPECT_EQ(header.description[0], '\xE9');
    EXPECT_EQ(header.description[1], '\0');
    EXPECT_EQ(header.descriptionText(), QString::fromUtf8("é"));
}

struct VersionCase {
    quint16 major;
    quint16 minor;
    const char* description;
    const char* text;
    friend void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.text; }
};

class VersionText : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionText, JoinsDecimalNumbersAndDescription) {
    FirmwareImageHeader header;
    header.magic = IMAGE_MAGIC;
    header.versionMajor = GetParam().major;
    header.versionMinor = GetParam().minor;
    header.setDescription(QString::fromLatin1(GetParam().description));
    EXPECT_EQ(imageVersionText(header), QString::fromLatin1(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Cases, VersionText,
                         ::testing::Values(VersionCase{2, 10, "x", "2.10 - x"},
                                           VersionCase{1, 4, "build", "1.4 - build"},
                                           VersionCase{0, 0, "", "0.0 - "},
                                           VersionCase{65535, 7, "a - b", "65535.7 - a - b"}));

// A loader information record laid out by hand: what follows the reply tag.
QByteArray handMadeLoaderInfo(quint32 imageState, const QByteArray& header) {
    QByteArray bytes = QByteArray::fromHex(
        "0300"        // loader major 3
        "0B00"        // loader minor 11
        "EFBEADDE");  // reserved
    bytes += char(imageState & 0xFF);
    bytes += char((imageState >> 8) & 0xFF);
    bytes += char((imageState >> 16) & 0xFF);
    bytes += char(imageState >> 24);
    return bytes + header;
}

LoaderInfo decodeLoaderInfo(const QByteArray& bytes) {
    return LoaderInfo::decode(std::span<const quint8, LoaderInfo::SIZE>(
        reinterpret_cast<const quint8*>(bytes.constData()), LoaderInfo::SIZE));
}

TEST(LoaderInfo, DecodesEveryFieldFromItsOffset) {
    const QByteArray header = handMadeHeader(4, 2, "installed");
    const QByteArray bytes = handMadeLoaderInfo(1, header);
    ASSERT_EQ(bytes.size(), LoaderInfo::SIZE);
    const LoaderInfo info = decodeLoaderInfo(bytes);
    EXPECT_EQ(info.loaderVersionMajor, 3);
    EXPECT_EQ(info.loaderVersionMinor, 11);
    EXPECT_EQ(info.loaderReserved, 0xDEADBEEF);
    EXPECT_EQ(info.imageState, 1u);
    EXPECT_EQ(info.imageHeader, FirmwareImageHeader::fromBytes(header));
    EXPECT_TRUE(info.hasInstalledImage());
}

TEST(LoaderInfo, RoundTripsThroughEncode) {
    const QByteArray bytes = handMadeLoaderInfo(0x01020304, handMadeHeader(9, 9, "n"));
    const LoaderInfo info = decodeLoaderInfo(bytes);
    QByteArray encoded(LoaderInfo::SIZE, '\0');
    info.encode(std::span<quint8, LoaderInfo::SIZE>(reinterpret_cast<quint8*>(encoded.data()),
                                                    LoaderInfo::SIZE));
    EXPECT_EQ(encoded, bytes);
    EXPECT_EQ(decodeLoaderInfo(encoded), info);
}

struct InstalledCase {
    const char* name;
    quint32 imageState;
    bool validMagic;
    bool installed;
    friend void PrintTo(const InstalledCase& c, std::ostream* os) { *os << c.name; }
};

class LoaderInfoInstalled : public ::testing::TestWithParam<InstalledCase> {};

TEST_P(LoaderInfoInstalled, NeedsStateOneAndImageMagic) {
    QByteArray header = handMadeHeader(1, 0, "x");
    if (!GetParam().validMagic) {
        header[0] = '\x0C';
    }
    const LoaderInfo info = decodeLoaderInfo(handMadeLoaderInfo(GetParam().imageState, header));
    EXPECT_EQ(info.hasInstalledImage(), GetParam().installed);
}

INSTANTIATE_TEST_SUITE_P(Cases, LoaderInfoInstalled,
                         ::testing::Values(InstalledCase{"stateOne", 1, true, true},
                                           InstalledCase{"stateZero", 0, true, false},
                                           InstalledCase{"stateTwo", 2, true, false},
                                           InstalledCase{"stateHighBits", 0x101, true, false},
                                           InstalledCase{"wrongMagic", 1, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
