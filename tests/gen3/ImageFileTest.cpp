#include "ScriptedLink.h"

#include "app/HException.h"
#include "gen3/FirmwareVersionText.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderFrames.h"
#include "support/ThrownMessage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

QByteArray headerBytes(quint16 major, quint16 minor, const QByteArray& description) {
    FirmwareImageHeader header;
    header.magic = IMAGE_MAGIC;
    header.versionMajor = major;
    header.versionMinor = minor;
    header.setDescription(QString::fromLatin1(description));
    return header.toBytes();
}

class ImageFiles : public ::testing::Test {
protected:
    QString write(const QString& name, const QByteArray& content) {
        QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }
    static std::string local(const QString& text) { return text.toLocal8Bit().toStdString(); }

    QTemporaryDir dir;
};

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

struct HeaderFileCase {
    const char* name;
    QByteArray content;  // null: no file at all
    const char* text;    // imageFileText of readValidImageHeader
    friend void PrintTo(const HeaderFileCase& c, std::ostream* os) { *os << c.name; }
};

class ImageHeaderFiles : public ImageFiles, public ::testing::WithParamInterface<HeaderFileCase> {};

TEST_P(ImageHeaderFiles, DescribeTheFile) {
    const QString path = GetParam().content.isNull()
                             ? dir.filePath(QStringLiteral("absent.bin"))
                             : write(QStringLiteral("image.bin"), GetParam().content);
    EXPECT_EQ(imageFileText(readValidImageHeader(path)), QString::fromUtf8(GetParam().text));
}

QByteArray withMagicByte(QByteArray bytes, char value) {
    bytes[0] = value;
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageHeaderFiles,
    ::testing::Values(HeaderFileCase{"valid", headerBytes(2, 10, "x") + "payload", "2.10 - x"},
                      HeaderFileCase{"headerOnly", headerBytes(1, 4, "build"), "1.4 - build"},
                      HeaderFileCase{"description40", headerBytes(0, 1, QByteArray(40, 'd')),
                                     "0.1 - dddddddddddddddddddddddddddddddddddddddd"},
                      HeaderFileCase{"markupShownAsText", headerBytes(1, 0, "<b>x</b> & y"),
                                     "1.0 - &lt;b&gt;x&lt;/b&gt; &amp; y"},
                      HeaderFileCase{"missing", QByteArray(), "<i>Invalid File</i>"},
                      HeaderFileCase{"empty", QByteArray(""), "<i>Invalid File</i>"},
                      HeaderFileCase{"short", headerBytes(2, 10, "x").left(63),
                                     "<i>Invalid File</i>"},
                      HeaderFileCase{"wrongMagic", withMagicByte(headerBytes(2, 10, "x"), '\x0E'),
                                     "<i>Invalid File</i>"}),
    [](const auto& info) { return std::string(info.param.name); });

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

// What the page shows for the installed firmware.
struct InstalledCase {
    const char* name;
    quint32 imageState;
    QByteArray header;
    const char* text;
    friend void PrintTo(const InstalledCase& c, std::ostream* os) { *os << c.name; }
};

class InstalledFirmware : public ::testing::TestWithParam<InstalledCase> {};

TEST_P(InstalledFirmware, QueriesWithoutConnectAtTheLinksTimeOut) {
    QByteArray reply(LOADER_INFO_REPLY_SIZE, '\0');
    reply[0] = '\xF7';
    reply[9] = char(GetParam().imageState);
    reply.replace(13, FirmwareImageHeader::SIZE, GetParam().header);
    ScriptedLink link;
    link.queueReply(reply);
    EXPECT_EQ(queryInstalledFirmware(link), QString::fromUtf8(GetParam().text));
    EXPECT_EQ(link.trace(), QStringList({"write 5", "read 77"}));
    EXPECT_EQ(link.writes().constFirst(), QByteArray::fromHex("085AC3179E"));
    EXPECT_EQ(link.timeout(), HDataLink::DEFAULT_TIMEOUT_MS);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstalledFirmware,
    ::testing::Values(
        InstalledCase{"installed", 1, headerBytes(2, 10, "x"), "2.10 - x"},
        InstalledCase{"installed40", 1, headerBytes(1, 0, QByteArray(40, 'L')),
                      "1.0 - LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"},
        InstalledCase{"stateZero", 0, headerBytes(2, 10, "x"), "<i>Not Installed</i>"},
        InstalledCase{"wrongMagic", 1, withMagicByte(headerBytes(2, 10, "x"), 0),
                      "<i>Not Installed</i>"},
        InstalledCase{"markupEscaped", 1, headerBytes(1, 1, "a<i>b"), "1.1 - a&lt;i&gt;b"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
