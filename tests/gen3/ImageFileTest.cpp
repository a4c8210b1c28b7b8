#include "ImageFiles.h"

#include "app/HException.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderFrames.h"
#include "support/ThrownMessage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

TEST_F(ImageFiles, ReadsTheWholeFileOrItsStart) {
    const QByteArray content = headerBytes(1, 2, "x") + QByteArray(1000, '\x5A');
    const QString path = write(QStringLiteral("kv3.bin"), content);
    EXPECT_EQ(readImageFile(path), content);
    EXPECT_EQ(readImageFile(path, 64), content.left(64));
    char buffer[64];
    readImageFile(path, 64, buffer);
    EXPECT_EQ(QByteArray(buffer, 64), content.left(64));
    EXPECT_TRUE(readImageFile(write(QStringLiteral("empty.bin"), QByteArray())).isEmpty());
}

TEST_F(ImageFiles, FailuresNameThePath) {
    const QString missing = dir.filePath(QStringLiteral("missing.bin"));
    const QString shortFile = write(QStringLiteral("short.bin"), QByteArray(10, 'x'));
    EXPECT_EQ(thrownMessage([&] { readImageFile(missing); }), "cannot open " + local(missing));
    EXPECT_EQ(thrownMessage([&] { readImageFile(dir.path()); }),
              "cannot open " + local(dir.path()));
    EXPECT_EQ(thrownMessage([&] { readImageFile(QString()); }), "cannot open ");
    EXPECT_EQ(thrownMessage([&] { readImageFile(shortFile, 64); }),
              "cannot read " + local(shortFile));
    char buffer[64];
    EXPECT_EQ(thrownMessage([&] { readImageFile(shortFile, 64, buffer); }),
              "cannot read " + local(shortFile));
    EXPECT_EQ(thrownMessage([&] { readImageFile(missing, 64, buffer); }),
              "cannot open " + local(missing));
}

TEST_F(ImageFiles, RefusesAFifoWithoutWaitingForAWriter) {
    const QString fifo = dir.filePath(QStringLiteral("pipe.bin"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(thrownMessage([&] { readImageFile(fifo, 64); }), "cannot open " + local(fifo));
    EXPECT_FALSE(readValidImageHeader(fifo).has_value());
}

TEST_F(ImageFiles, OpensNamesOutsideLatin1) {
    const QString path = write(QString::fromUtf8("образ-ü.bin"), headerBytes(1, 0, "x"));
    EXPECT_EQ(readImageFile(path).size(), 64);
    const QString missing = dir.filePath(QString::fromUtf8("нет.bin"));
    EXPECT_EQ(QString::fromLocal8Bit(thrownMessage([&] { readImageFile(missing); })),
              "cannot open " + missing);
}

TEST_F(ImageFiles, InstallImageIsReadWholeThenChecked) {
    const QByteArray good = headerBytes(3, 1, "ok") + QByteArray(9000, '\x11');
    const QString goodPath = write(QStringLiteral("good.bin"), good);
    EXPECT_EQ(readInstallImage(goodPath), good);
    EXPECT_NO_THROW(checkInstallImage(readInstallImage(goodPath), goodPath));

    // A file replaced after it was chosen: the bytes actually read are checked.
    const QString replaced = write(QStringLiteral("replaced.bin"), QByteArray(9000, '\xFF'));
    EXPECT_EQ(thrownMessage([&] { checkInstallImage(readInstallImage(replaced), replaced); }),
              "not a valid firmware image: " + local(replaced));
    const QString truncated = write(QStringLiteral("truncated.bin"), good.left(40));
    EXPECT_EQ(thrownMessage([&] { checkInstallImage(readInstallImage(truncated), truncated); }),
              "not a valid firmware image: " + local(truncated));
    const QString missing = dir.filePath(QStringLiteral("gone.bin"));
    EXPECT_EQ(thrownMessage([&] { readInstallImage(missing); }), "cannot open " + local(missing));
    EXPECT_EQ(thrownMessage([&] { readInstallImage(dir.path()); }),
              "cannot open " + local(dir.path()));
}

TEST_F(ImageFiles, HugeInstallImageIsRefusedBeforeItIsRead) {
    // A sparse file of 3 GiB: no disk space and, since it is refused first, no memory.
    const QString path = dir.filePath(QStringLiteral("huge.bin"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(headerBytes(1, 0, "big"));
        ASSERT_TRUE(file.resize(Q_INT64_C(3) << 30));
    }
    EXPECT_EQ(thrownMessage([&] { readInstallImage(path); }),
              "image too large: " + local(path) + " (3221225472 bytes, at most 2147483647)");
}

struct RangeCase {
    quint32 address;
    qint64 size;
    bool accepted;
    friend void PrintTo(const RangeCase& c, std::ostream* os) {
        *os << std::hex << c.address << '+' << std::dec << c.size;
    }
};

class ImageRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ImageRange, FitsThe32BitAddressSpaceAndIntCounts) {
    if (GetParam().accepted) {
        EXPECT_NO_THROW(checkImageRange(GetParam().address, GetParam().size));
    } else {
        EXPECT_THROW(checkImageRange(GetParam().address, GetParam().size), HException);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageRange,
    ::testing::Values(RangeCase{0x2000, 0, true}, RangeCase{0x2000, 2147483647, true},
                      RangeCase{0x2000, Q_INT64_C(2147483648), false},
                      RangeCase{0x2000, Q_INT64_C(4294959104), false},
                      RangeCase{0xFFFFE000, 8192, true}, RangeCase{0xFFFFE000, 8193, false},
                      RangeCase{0x80000000, 2147483647, true},
                      RangeCase{0x80000001, 2147483647, true},
                      RangeCase{0x80000002, 2147483647, false}, RangeCase{0, -1, false}));

TEST(CheckInstallImage, NamesThePathWhenGiven) {
    EXPECT_EQ(thrownMessage(
                  [] { checkInstallImage(QByteArray(64, '\0'), QStringLiteral("/tmp/x.bin")); }),
              "not a valid firmware image: /tmp/x.bin");
    EXPECT_NO_THROW(checkInstallImage(headerBytes(1, 0, "")));
    EXPECT_EQ(MAX_INSTALL_IMAGE_SIZE, 2147483647);
}

}  // namespace
