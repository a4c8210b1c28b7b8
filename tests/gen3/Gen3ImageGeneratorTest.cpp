#include "tools/gen3/Gen3ImageGenerator.h"

#include "app/HException.h"
#include "gen3/ImageFile.h"
#include "support/ThrownMessage.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

Gen3ImageRecipe recipe(qint64 size,
                       Gen3ImageRecipe::Pattern pattern = Gen3ImageRecipe::Pattern::Random,
                       quint32 seed = 1) {
    Gen3ImageRecipe s;
    s.versionMajor = 2;
    s.versionMinor = 10;
    s.description = QStringLiteral("x");
    s.size = size;
    s.pattern = pattern;
    s.seed = seed;
    return s;
}

TEST(Gen3ImageGenerator, HeaderRoundTripsThroughTheDecoder) {
    Gen3ImageRecipe s = recipe(20000);
    s.versionMajor = 65535;
    s.versionMinor = 0;
    s.description = QString(40, u'R');
    const QByteArray image = generateGen3Image(s);
    ASSERT_EQ(image.size(), 20000);
    const auto header = FirmwareImageHeader::fromBytes(image);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(*header, gen3ImageHeader(s));
    EXPECT_TRUE(header->hasImageMagic());
    EXPECT_EQ(header->versionMajor, 65535);
    EXPECT_EQ(header->versionMinor, 0);
    EXPECT_EQ(header->descriptionText(), QString(40, u'R'));
    EXPECT_EQ(header->reserved, (std::array<quint32, 4>{}));
    EXPECT_NO_THROW(checkInstallImage(image));
}

TEST(Gen3ImageGenerator, WrittenFileReadsBackAsAnInstallImage) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kv3.bin"));
    const QByteArray image = generateGen3Image(recipe(12345));
    writeGen3Image(path, image);
    EXPECT_EQ(readInstallImage(path), image);
    EXPECT_EQ(imageVersionText(readValidImageHeader(path).value()), "2.10 - x");
}

TEST(Gen3ImageGenerator, WriteFailureNamesThePath) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("no/such/dir/kv3.bin"));
    EXPECT_EQ(thrownMessage([&] { writeGen3Image(path, generateGen3Image(recipe(100))); }),
              "cannot write " + path.toStdString());
}

TEST(Gen3ImageGenerator, RandomPayloadIsFixedBySeed) {
    const QByteArray a = generateGen3Image(recipe(4096, Gen3ImageRecipe::Pattern::Random, 7));
    const QByteArray b = generateGen3Image(recipe(4096, Gen3ImageRecipe::Pattern::Random, 7));
    const QByteArray c = generateGen3Image(recipe(4096, Gen3ImageRecipe::Pattern::Random, 8));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.left(64), c.left(64));
    EXPECT_NE(a.mid(64), c.mid(64));
    // Not a constant fill: many distinct byte values.
    QSet<char> distinct(a.begin() + 64, a.end());
    EXPECT_GT(distinct.size(), 200);
    // Seed 0 still gives a moving sequence.
    const QByteArray zero = generateGen3Image(recipe(4096, Gen3ImageRecipe::Pattern::Random, 0));
    EXPECT_NE(zero.mid(64, 8), zero.mid(72, 8));
}

TEST(Gen3ImageGenerator, CounterAndZeroPatterns) {
    const QByteArray counter = generateGen3Image(recipe(1000, Gen3ImageRecipe::Pattern::Counter));
    for (int i = 64; i < counter.size(); ++i) {
        ASSERT_EQ(quint8(counter[i]), quint8(i & 0xFF)) << i;
    }
    const QByteArray zero = generateGen3Image(recipe(1000, Gen3ImageRecipe::Pattern::Zero));
    EXPECT_EQ(zero.mid(64), QByteArray(936, '\0'));
}

TEST(Gen3ImageGenerator, SmallSizesCutTheHeaderShort) {
    const QByteArray full = gen3ImageHeader(recipe(64)).toBytes();
    for (qint64 size : {0, 1, 4, 63, 64}) {
        const QByteArray image = generateGen3Image(recipe(size));
        EXPECT_EQ(image, full.left(size)) << size;
    }
    EXPECT_THROW(checkInstallImage(generateGen3Image(recipe(63))), HException);
}

TEST(Gen3ImageGenerator, OtherMagicMakesAnInvalidImage) {
    Gen3ImageRecipe s = recipe(100);
    s.magic = 0x12345678;
    EXPECT_THROW(checkInstallImage(generateGen3Image(s)), HException);
}

TEST(Gen3ImageGeneratorOptions, ParseVersionSizeAndPattern) {
    EXPECT_EQ(parseImageVersion(QStringLiteral("2.10")), (std::pair<quint16, quint16>{2, 10}));
    EXPECT_EQ(parseImageVersion(QStringLiteral("65535.0")),
              (std::pair<quint16, quint16>{65535, 0}));
    for (const char* bad : {"2", "2.", ".1", "2.x", "1.2.3", "65536.0", "-1.0", ""}) {
        EXPECT_FALSE(parseImageVersion(QString::fromLatin1(bad)).has_value()) << bad;
    }
    EXPECT_EQ(parseImageSize(QStringLiteral("100")), 100);
    EXPECT_EQ(parseImageSize(QStringLiteral("64K")), 65536);
    EXPECT_EQ(parseImageSize(QStringLiteral("1m")), 1048576);
    EXPECT_EQ(parseImageSize(QStringLiteral("1024M")), MAX_GEN3_IMAGE_SIZE);
    for (const char* bad : {"", "K", "-1", "1025M", "12Q", "1.5K", "99999999999999999999"}) {
        EXPECT_FALSE(parseImageSize(QString::fromLatin1(bad)).has_value()) << bad;
    }
    EXPECT_EQ(parseImagePattern(QStringLiteral("counter")), Gen3ImageRecipe::Pattern::Counter);
    EXPECT_EQ(parseImagePattern(QStringLiteral("zero")), Gen3ImageRecipe::Pattern::Zero);
    EXPECT_EQ(parseImagePattern(QStringLiteral("random")), Gen3ImageRecipe::Pattern::Random);
    EXPECT_FALSE(parseImagePattern(QStringLiteral("ones")).has_value());
}

}  // namespace
