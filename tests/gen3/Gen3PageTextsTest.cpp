// The generation-3 page's label texts: the chosen file's version, and what the loader
// reports as installed, as rich text with their markers.
#include "ImageFiles.h"
#include "ScriptedLink.h"

#include "gen3/FirmwareVersionText.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderCommands.h"
#include "gen3/LoaderFrames.h"
#include "probe/InstalledFirmware.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

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

// What the page shows for the installed firmware.
struct InstalledCase {
    const char* name;
    quint32 imageState;
    QByteArray header;
    const char* text;
    friend void PrintTo(const InstalledCase& c, std::ostream* os) { *os << c.name; }
};

class InstalledQuery : public ::testing::TestWithParam<InstalledCase> {};

TEST_P(InstalledQuery, QueriesWithoutConnectAtTheLinksTimeOut) {
    QByteArray reply(LOADER_INFO_REPLY_SIZE, '\0');
    reply[0] = '\xF7';
    reply[9] = char(GetParam().imageState);
    reply.replace(13, FirmwareImageHeader::SIZE, GetParam().header);
    ScriptedLink link;
    link.queueReply(reply);
    EXPECT_EQ(installedFirmwareText(installedFirmwareOf(getLoaderInfo(link))),
              QString::fromUtf8(GetParam().text));
    EXPECT_EQ(link.trace(), QStringList({"write 5", "read 77"}));
    EXPECT_EQ(link.writes().constFirst(), QByteArray::fromHex("085AC3179E"));
    EXPECT_EQ(link.timeout(), HDataLink::DEFAULT_TIMEOUT_MS);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstalledQuery,
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
