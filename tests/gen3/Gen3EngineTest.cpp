#include "ProgressLog.h"
#include "ScriptedLink.h"

#include "app/Clock.h"
#include "app/HException.h"
#include "gen3/Crc32.h"
#include "gen3/FirmwareImageHeader.h"
#include "gen3/Gen3Engine.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderFrames.h"
#include "support/ThrownMessage.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

namespace {

const char* const ERASE_TEXT = "Erasing memory, do not remove Korvane";
const char* const DOWNLOAD_TEXT = "Downloading firmware, do not remove Korvane";
const char* const VERIFY_TEXT = "Verifying firmware";

QByteArray frameBytes(const RangedFrame& frame) {
    return QByteArray(reinterpret_cast<const char*>(frame.data()), qsizetype(frame.size()));
}

QByteArray crcReply(const QByteArray& range) {
    const quint32 crc = computeCrc32(range.constData(), std::size_t(range.size()));
    QByteArray reply = QByteArray::fromHex("F800");
    for (int i = 0; i < 4; ++i) {
        reply += char(crc >> (8 * i));
    }
    return reply;
}

// Bytes that differ from chunk to chunk, so that a misplaced chunk shows.
QByteArray patterned(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        bytes[i] = char((i * 7 + i / 8192) & 0xFF);
    }
    return bytes;
}

// An image with a valid header and `size` bytes in all.
QByteArray validImage(int size) {
    QByteArray image = patterned(size);
    FirmwareImageHeader header;
    header.magic = IMAGE_MAGIC;
    header.versionMajor = 3;
    header.setDescription(QStringLiteral("test"));
    image.replace(0, FirmwareImageHeader::SIZE, header.toBytes());
    return image;
}

const quint8* bytesOf(const QByteArray& image) {
    return reinterpret_cast<const quint8*>(image.constData());
}

using Chunks = std::vector<std::pair<quint32, quint32>>;  // address, length

enum class Step { Erase, Download, Verify };

struct ChunkCase {
    int size;
    Chunks chunks;
    friend void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.size; }
};

std::string chunkCaseName(const ::testing::TestParamInfo<std::tuple<Step, ChunkCase>>& info) {
    const char* const names[] = {"Erase", "Download", "Verify"};
    return std::string(names[int(std::get<0>(info.param))]) + "_" +
           std::to_string(std::get<1>(info.param).size);
}

class TransferChunks : public ::testing::TestWithParam<std::tuple<Step, ChunkCase>> {};

TEST_P(TransferChunks, CoverTheImageIn8192ByteChunksWithOneReportEach) {
    const auto [step, c] = GetParam();
    const QByteArray image = patterned(c.size);
    ScriptedLink link;
    QList<QByteArray> expectedWrites;
    std::vector<ProgressReport> expectedProgress;
    const char* text = step == Step::Erase      ? ERASE_TEXT
                       : step == Step::Download ? DOWNLOAD_TEXT
                                                : VERIFY_TEXT;
    expectedProgress.push_back(ProgressReport::start(c.size, text));
    for (const auto& [address, length] : c.chunks) {
        const QByteArray range = image.mid(address - IMAGE_BASE_ADDRESS, length);
        switch (step) {
            case Step::Erase:
                link.queueReplyHex("FA01");
                expectedWrites << frameBytes(rangedFrame(TAG_MEMORY_ERASE, address, length));
                break;
            case Step::Download:
                link.queueReplyHex("FC01");
                expectedWrites << frameBytes(rangedFrame(TAG_MEMORY_WRITE, address, length))
                               << range;
                break;
            case Step::Verify:
                link.queueReply(crcReply(range));
                expectedWrites << frameBytes(rangedFrame(TAG_MEMORY_CRC, address, length));
                break;
        }
        expectedProgress.push_back(ProgressReport::at(int(address - IMAGE_BASE_ADDRESS + length)));
    }

    Gen3Engine installer;
    ProgressLog log(installer);
    switch (step) {
        case Step::Erase:
            installer.eraseImage(link, IMAGE_BASE_ADDRESS, c.size);
            break;
        case Step::Download:
            installer.downloadImage(link, IMAGE_BASE_ADDRESS, c.size, bytesOf(image));
            break;
        case Step::Verify:
            installer.verifyImage(link, IMAGE_BASE_ADDRESS, c.size, bytesOf(image));
            break;
    }
    EXPECT_EQ(link.writes(), expectedWrites);
    EXPECT_EQ(log.reports, expectedProgress);
    EXPECT_EQ(link.pendingReplies(), 0);
    EXPECT_EQ(link.purgeCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, TransferChunks,
    ::testing::Combine(
        ::testing::Values(Step::Erase, Step::Download, Step::Verify),
        ::testing::Values(ChunkCase{1, {{0x2000, 1}}}, ChunkCase{8191, {{0x2000, 8191}}},
                          ChunkCase{8192, {{0x2000, 8192}}},
                          ChunkCase{8193, {{0x2000, 8192}, {0x4000, 1}}},
                          ChunkCase{16384, {{0x2000, 8192}, {0x4000, 8192}}},
                          ChunkCase{16385, {{0x2000, 8192}, {0x4000, 8192}, {0x6000, 1}}})),
    chunkCaseName);

TEST(TransferSteps, EmptyRangeOnlyStartsAndSendsNothing) {
    ScriptedLink link;
    Gen3Engine installer;
    ProgressLog log(installer);
    installer.eraseImage(link, IMAGE_BASE_ADDRESS, 0);
    EXPECT_TRUE(link.events().empty());
    EXPECT_EQ(log.reports, std::vector<ProgressReport>{ProgressReport::start(0, ERASE_TEXT)});
}

TEST(TransferSteps, VerifyMismatchInSecondChunk) {
    const QByteArray image = patterned(20000);
    ScriptedLink link;
    link.queueReply(crcReply(image.left(8192)));
    link.queueReply(crcReply(image.mid(8192, 8191)));  // not the probe's copy of chunk 2
    Gen3Engine installer;
    ProgressLog log(installer);
    EXPECT_EQ(thrownMessage(
                  [&] { installer.verifyImage(link, IMAGE_BASE_ADDRESS, 20000, bytesOf(image)); }),
              "Verify failed : crc check mismatch");
    EXPECT_EQ(log.reports,
              (std::vector<ProgressReport>{ProgressReport::start(20000, VERIFY_TEXT),
                                           ProgressReport::at(8192), ProgressReport::at(20000)}));
    EXPECT_EQ(link.writes().size(), 2);  // no third chunk
}

struct StepFailureCase {
    const char* name;
    Step step;
    QList<QByteArray> replies;
    const char* message;
    std::vector<ProgressReport> progress;
    friend void PrintTo(const StepFailureCase& c, std::ostream* os) { *os << c.name; }
};

class TransferFailures : public ::testing::TestWithParam<StepFailureCase> {};

TEST_P(TransferFailures, PrefixTheCommandMessageAndResetTheProgress) {
    const StepFailureCase& c = GetParam();
    const QByteArray image = patterned(20000);
    ScriptedLink link;
    for (const QByteArray& reply : c.replies) {
        link.queueReply(reply);
    }
    Gen3Engine installer;
    ProgressLog log(installer);
    EXPECT_EQ(thrownMessage([&] {
                  switch (c.step) {
                      case Step::Erase:
                          installer.eraseImage(link, IMAGE_BASE_ADDRESS, 20000);
                          break;
                      case Step::Download:
                          installer.downloadImage(link, IMAGE_BASE_ADDRESS, 20000, bytesOf(image));
                          break;
                      case Step::Verify:
                          installer.verifyImage(link, IMAGE_BASE_ADDRESS, 20000, bytesOf(image));
                          break;
                  }
              }),
              c.message);
    EXPECT_EQ(log.reports, c.progress);
}

const std::vector<ProgressReport> failsInFirstChunk(const char* text) {
    return {ProgressReport::start(20000, text), ProgressReport::at(20000)};
}
const std::vector<ProgressReport> failsInSecondChunk(const char* text) {
    return {ProgressReport::start(20000, text), ProgressReport::at(8192),
            ProgressReport::at(20000)};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransferFailures,
    ::testing::Values(StepFailureCase{"eraseStatusZero",
                                      Step::Erase,
                                      {QByteArray::fromHex("FA00")},
                                      "Erase failed : memory erase failed",
                                      failsInFirstChunk(ERASE_TEXT)},
                      StepFailureCase{"eraseWrongTagInChunk2",
                                      Step::Erase,
                                      {QByteArray::fromHex("FA01"), QByteArray::fromHex("FC00")},
                                      "Erase failed : memory erase failed, unexpected tag returned",
                                      failsInSecondChunk(ERASE_TEXT)},
                      StepFailureCase{"downloadSilentInChunk2",
                                      Step::Download,
                                      {QByteArray::fromHex("FC01")},
                                      "Download failed : read timed out",
                                      failsInSecondChunk(DOWNLOAD_TEXT)},
                      StepFailureCase{"downloadStatusZero",
                                      Step::Download,
                                      {QByteArray::fromHex("FC00")},
                                      "Download failed : memory write failed",
                                      failsInFirstChunk(DOWNLOAD_TEXT)},
                      StepFailureCase{
                          "downloadWrongTag",
                          Step::Download,
                          {QByteArray::fromHex("FA01")},
                          "Download failed : memory write failed, unexpected tag returned",
                          failsInFirstChunk(DOWNLOAD_TEXT)},
                      StepFailureCase{"verifyShortReply",
                                      Step::Verify,
                                      {QByteArray::fromHex("F80000")},
                                      "Verify failed : read timed out",
                                      failsInFirstChunk(VERIFY_TEXT)},
                      StepFailureCase{"verifyMismatchInChunk1",
                                      Step::Verify,
                                      {QByteArray::fromHex("F80000000000")},
                                      "Verify failed : crc check mismatch",
                                      failsInFirstChunk(VERIFY_TEXT)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TransferSteps, ChunksRunUpToTheEndOfTheAddressSpaceWithoutWrapping) {
    ScriptedLink link;
    link.queueReplyHex("FA01");
    link.queueReplyHex("FA01");
    Gen3Engine installer;
    installer.eraseImage(link, 0xFFFFC000, 16384);
    EXPECT_EQ(link.writes(),
              QList<QByteArray>({frameBytes(rangedFrame(TAG_MEMORY_ERASE, 0xFFFFC000, 8192)),
                                 frameBytes(rangedFrame(TAG_MEMORY_ERASE, 0xFFFFE000, 8192))}));
}

struct RefusedRange {
    quint32 address;
    int size;
    const char* message;
    friend void PrintTo(const RefusedRange& c, std::ostream* os) {
        *os << c.address << '+' << c.size;
    }
};

class TransferRefusals : public ::testing::TestWithParam<RefusedRange> {};

TEST_P(TransferRefusals, SendNothingAndReportNothing) {
    const QByteArray image = patterned(16384);
    for (Step step : {Step::Erase, Step::Download, Step::Verify}) {
        ScriptedLink link;
        Gen3Engine installer;
        ProgressLog log(installer);
        EXPECT_EQ(thrownMessage([&] {
                      if (step == Step::Erase) {
                          installer.eraseImage(link, GetParam().address, GetParam().size);
                      } else if (step == Step::Download) {
                          installer.downloadImage(link, GetParam().address, GetParam().size,
                                                  bytesOf(image));
                      } else {
                          installer.verifyImage(link, GetParam().address, GetParam().size,
                                                bytesOf(image));
                      }
                  }),
                  GetParam().message);
        EXPECT_TRUE(link.events().empty());
        EXPECT_TRUE(log.reports.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, TransferRefusals,
    ::testing::Values(
        RefusedRange{0xFFFFE000, 8193,
                     "image too large: 8193 bytes from address 0xffffe000 (at most 8192)"},
        RefusedRange{0xFFFFFFFF, 2, "image too large: 2 bytes from address 0xffffffff (at most 1)"},
        RefusedRange{0x2000, -1, "invalid image size: -1"}));

// Replies of a loader that accepts every command of an install of `image`.
void scriptSuccessfulInstall(ScriptedLink& link, const QByteArray& image) {
    const int chunks = int((image.size() + TRANSFER_CHUNK - 1) / TRANSFER_CHUNK);
    link.queueReplyHex("FE01");
    for (int i = 0; i < chunks; ++i) {
        link.queueReplyHex("FA01");
    }
    for (int i = 0; i < chunks; ++i) {
        link.queueReplyHex("FC01");
    }
    for (int i = 0; i < chunks; ++i) {
        link.queueReply(crcReply(image.mid(qsizetype(i) * TRANSFER_CHUNK, TRANSFER_CHUNK)));
    }
    link.queueReplyHex("FD01");
}

TEST(InstallImage, SetsTheTimeOutConnectsTransfersAndDisconnects) {
    const QByteArray image = validImage(8193);
    ScriptedLink link;
    scriptSuccessfulInstall(link, image);
    Gen3Engine installer;
    ProgressLog log(installer);
    installer.installImage(link, image);

    EXPECT_EQ(link.trace(),
              QStringList({"timeout 60000", "purge",      "write 5",  "read 2",  // connect
                           "write 13",      "read 2",     "write 13", "read 2",  // erase
                           "write 13",      "write 8192", "read 2",              // download
                           "write 13",      "write 1",    "read 2",              //
                           "write 13",      "read 6",     "write 13", "read 6",  // verify
                           "write 5",       "read 2",     "purge"}));            // disconnect
    EXPECT_EQ(link.timeout(), 60000u);
    EXPECT_EQ(link.writes().constLast(), QByteArray::fromHex("025AC3179E"));
    EXPECT_EQ(log.reports, (std::vector<ProgressReport>{
                               ProgressReport::start(8193, ERASE_TEXT), ProgressReport::at(8192),
                               ProgressReport::at(8193), ProgressReport::start(8193, DOWNLOAD_TEXT),
                               ProgressReport::at(8192), ProgressReport::at(8193),
                               ProgressReport::start(8193, VERIFY_TEXT), ProgressReport::at(8192),
                               ProgressReport::at(8193)}));
    EXPECT_EQ(link.pendingReplies(), 0);
}

TEST(InstallImage, ConnectBusyTenTimesIsUnprefixedAndTransfersNothing) {
    VirtualClock clock;
    ScopedClock useClock(clock);
    ScriptedLink link;
    for (int i = 0; i < 10; ++i) {
        link.queueReplyHex("FEFF");
    }
    Gen3Engine installer;
    ProgressLog log(installer);
    EXPECT_EQ(thrownMessage([&] { installer.installImage(link, validImage(100)); }),
              "connect failed");
    EXPECT_EQ(link.writes().size(), 10);
    EXPECT_TRUE(log.reports.empty());
    EXPECT_EQ(clock.sleepCount(), 9);
}

TEST(InstallImage, DisconnectFailureIsUnprefixed) {
    const QByteArray image = validImage(100);
    ScriptedLink failing;
    failing.queueReplyHex("FE01");
    failing.queueReplyHex("FA01");
    failing.queueReplyHex("FC01");
    failing.queueReply(crcReply(image));
    failing.queueReplyHex("FD00");
    Gen3Engine installer;
    EXPECT_EQ(thrownMessage([&] { installer.installImage(failing, image); }), "disconnect failed");
    EXPECT_EQ(failing.trace().constLast(), "purge");
}

TEST(InstallImage, FailedStepSendsNoDisconnect) {
    const QByteArray image = validImage(100);
    ScriptedLink link;
    link.queueReplyHex("FE01");
    link.queueReplyHex("FA01");
    link.queueReplyHex("FC00");
    Gen3Engine installer;
    EXPECT_EQ(thrownMessage([&] { installer.installImage(link, image); }),
              "Download failed : memory write failed");
    for (const QByteArray& written : link.writes()) {
        EXPECT_NE(written, QByteArray::fromHex("025AC3179E"));
    }
}

struct RefusedImage {
    const char* name;
    QByteArray image;
    friend void PrintTo(const RefusedImage& c, std::ostream* os) { *os << c.name; }
};

class InstallRefusals : public ::testing::TestWithParam<RefusedImage> {};

TEST_P(InstallRefusals, LeaveTheLinkUntouched) {
    ScriptedLink link;
    Gen3Engine installer;
    ProgressLog log(installer);
    EXPECT_EQ(thrownMessage([&] { installer.installImage(link, GetParam().image); }),
              "not a valid firmware image");
    EXPECT_TRUE(link.events().empty());
    EXPECT_TRUE(log.reports.empty());
}

QByteArray withByte(QByteArray bytes, int index, char value) {
    bytes[index] = value;
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Images, InstallRefusals,
    ::testing::Values(RefusedImage{"empty", QByteArray()},
                      RefusedImage{"headerCutShort", validImage(100).left(63)},
                      RefusedImage{"wrongMagic", withByte(validImage(100), 3, '\xCB')},
                      RefusedImage{"magicBigEndian",
                                   QByteArray::fromHex("CAFEF00D") + validImage(100).mid(4)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstallImage, HeaderOnlyImageIsOneChunk) {
    const QByteArray image = validImage(FirmwareImageHeader::SIZE);
    ScriptedLink link;
    scriptSuccessfulInstall(link, image);
    Gen3Engine installer;
    installer.installImage(link, image);
    // Connect frame, erase frame, write frame, then the data.
    ASSERT_GE(link.writes().size(), 4);
    EXPECT_EQ(link.writes()[3], image);
}

// A loader good enough to hold what it is sent: memory from IMAGE_BASE_ADDRESS, erase to
// 0xFF, write, CRC over its own copy. The host's CRC check then compares against what
// actually arrived.
class MemoryLoader {
public:
    explicit MemoryLoader(int memorySize) : memory(memorySize, '\0') {}

    void attach(ScriptedLink& link) {
        link.onWrite = [this](ScriptedLink& l, QByteArrayView written) { handle(l, written); };
    }
    QByteArray memory;

private:
    void handle(ScriptedLink& link, QByteArrayView written) {
        if (pendingWrite) {
            memory.replace(offset(*pendingWrite), written.size(), written.toByteArray());
            pendingWrite.reset();
            link.queueReplyHex("FC01");
            return;
        }
        const auto frame = decodeCommandFrame(written);
        ASSERT_TRUE(frame && frame->magicOk);
        switch (frame->tag) {
            case TAG_CONNECT:
                link.queueReplyHex("FE01");
                break;
            case TAG_DISCONNECT:
                link.queueReplyHex("FD01");
                break;
            case TAG_MEMORY_ERASE:
                memory.replace(offset(*frame), frame->count, QByteArray(frame->count, '\xFF'));
                link.queueReplyHex("FA01");
                break;
            case TAG_MEMORY_WRITE:
                pendingWrite = frame;
                break;
            case TAG_MEMORY_CRC:
                link.queueReply(crcReply(memory.mid(offset(*frame), frame->count)));
                break;
            default:
                FAIL() << "unexpected tag " << int(frame->tag);
        }
    }
    static qsizetype offset(const CommandFrame& frame) {
        return qsizetype(frame.address - IMAGE_BASE_ADDRESS);
    }
    std::optional<CommandFrame> pendingWrite;
};

TEST(InstallImage, GeneratedImageArrivesWholeInTheLoadersMemory) {
    Gen3ImageRecipe recipe;
    recipe.versionMajor = 4;
    recipe.description = QStringLiteral("round trip");
    recipe.size = 100000;  // 12 full chunks and one of 1696 bytes
    const QByteArray image = generateGen3Image(recipe);
    checkInstallImage(image);
    ScriptedLink link;
    MemoryLoader loader(131072);
    loader.attach(link);
    Gen3Engine installer;
    ProgressLog log(installer);
    installer.installImage(link, image);
    EXPECT_EQ(loader.memory.left(image.size()), image);
    EXPECT_EQ(loader.memory.mid(image.size()), QByteArray(131072 - image.size(), '\0'));
    EXPECT_EQ(log.reports.size(), 3u * (1 + 13));
    EXPECT_EQ(link.pendingReplies(), 0);
}

TEST(InstallImage, DataCorruptedOnTheWayFailsTheVerify) {
    const QByteArray image = validImage(20000);
    ScriptedLink link;
    MemoryLoader loader(32768);
    loader.attach(link);
    Gen3Engine installer;
    // The loader's copy of the second chunk loses a bit after the download.
    installer.downloadImage(link, IMAGE_BASE_ADDRESS, int(image.size()), bytesOf(image));
    loader.memory[9000] = char(loader.memory[9000] ^ 0x01);
    ProgressLog log(installer);
    EXPECT_EQ(thrownMessage([&] {
                  installer.verifyImage(link, IMAGE_BASE_ADDRESS, int(image.size()),
                                        bytesOf(image));
              }),
              "Verify failed : crc check mismatch");
    EXPECT_EQ(log.reports,
              (std::vector<ProgressReport>{ProgressReport::start(20000, VERIFY_TEXT),
                                           ProgressReport::at(8192), ProgressReport::at(20000)}));
}

// A failing transfer step is told by its type, not by its message: such a step reports its
// phase's total on its way out, which a progress display needs to know.
TEST(InstallImage, TellsTheStepFailuresFromTheOthers) {
    const auto kind = [](const std::function<void()>& run) {
        try {
            run();
        } catch (const TransferStepFailure&) {
            return "step";
        } catch (const HException&) {
            return "other";
        }
        return "none";
    };
    Gen3Engine installer;
    ScriptedLink silent;  // answers nothing: every read times out
    EXPECT_STREQ(kind([&] { installer.eraseImage(silent, IMAGE_BASE_ADDRESS, 100); }), "step");
    EXPECT_STREQ(kind([&] { installer.installImage(silent, validImage(100)); }), "other");
}

}  // namespace
