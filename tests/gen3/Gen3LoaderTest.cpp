// The emulated generation-3 loader, driven through the real Ftd2xxDataLink and the host's
// loader commands over the emulated bus.
#include "Gen3ProbeFixture.h"

#include "device/Ftd2xxDataLink.h"
#include "gen3/Crc32.h"
#include "gen3/Gen3Engine.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderCommands.h"
#include "gen3/LoaderFrames.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

QByteArray bytesOf(const auto& frame) {
    return QByteArray(reinterpret_cast<const char*>(frame.data()), qsizetype(frame.size()));
}

const quint8* dataOf(const QByteArray& bytes) {
    return reinterpret_cast<const quint8*>(bytes.constData());
}

class Gen3LoaderTest : public ::testing::Test, public Gen3ProbeFixture {
protected:
    void SetUp() override { attachProbe(); }

    // Reads exactly `count` reply bytes, or what arrived before the time-out.
    QByteArray readReply(HDataLink& link, int count) {
        QByteArray reply(count, '\0');
        const int got = link.read(reply.data(), count);
        return reply.left(std::max(got, 0));
    }
};

TEST_F(Gen3LoaderTest, FramesArrivingInPiecesAreAnsweredOnceWhole) {
    Ftd2xxDataLink link(record());
    const QByteArray frame = bytesOf(shortFrame(TAG_CONNECT));
    for (const char byte : frame) {
        ASSERT_EQ(link.write(&byte, 1), 1);
    }
    EXPECT_EQ(readReply(link, 2), QByteArray::fromHex("FE01"));
    EXPECT_TRUE(loader->connected());

    // A write's frame and data in one transfer, then an erase frame split across two,
    // behind the factory image where the memory is erased.
    const quint32 address = 0x10000;
    const qsizetype offset = address - IMAGE_BASE_ADDRESS;
    const QByteArray data = QByteArray::fromHex("0102030405");
    ASSERT_EQ(loader->memory().mid(offset, 5), QByteArray(5, '\xFF'));
    const QByteArray writeAndData = bytesOf(rangedFrame(TAG_MEMORY_WRITE, address, 5)) + data;
    ASSERT_EQ(link.write(writeAndData.constData(), int(writeAndData.size())), writeAndData.size());
    EXPECT_EQ(readReply(link, 2), QByteArray::fromHex("FC01"));
    EXPECT_EQ(loader->memory().mid(offset, 5), data);
    const QByteArray erase = bytesOf(rangedFrame(TAG_MEMORY_ERASE, address, 5));
    ASSERT_EQ(link.write(erase.constData(), 7), 7);
    ASSERT_EQ(link.write(erase.constData() + 7, 6), 6);
    EXPECT_EQ(readReply(link, 2), QByteArray::fromHex("FA01"));
    EXPECT_EQ(loader->memory().mid(offset, 5), QByteArray(5, '\xFF'));
    EXPECT_EQ(loader->commandLog().size(), 3);
}

TEST_F(Gen3LoaderTest, FramesWithoutTheMagicOrWithUnknownTagsAreDroppedUnanswered) {
    Ftd2xxDataLink link(record());
    link.setTimeout(20);
    QByteArray badMagic = bytesOf(shortFrame(TAG_CONNECT));
    badMagic[4] = 0x00;
    QByteArray unknownTag = bytesOf(shortFrame(0x04));
    const QByteArray garbage = badMagic + unknownTag + QByteArray::fromHex("FF5AC3");
    ASSERT_EQ(link.write(garbage.constData(), int(garbage.size())), garbage.size());
    EXPECT_EQ(readReply(link, 2), QByteArray());
    EXPECT_FALSE(loader->connected());
    EXPECT_TRUE(loader->commandLog().isEmpty());

    // The loader finds the next good frame, however the garbage before it ended.
    const QByteArray good = bytesOf(shortFrame(TAG_CONNECT));
    ASSERT_EQ(link.write(good.constData(), int(good.size())), good.size());
    EXPECT_EQ(readReply(link, 2), QByteArray::fromHex("FE01"));
    EXPECT_EQ(loader->ignoredBytes(), garbage.size());
}

TEST_F(Gen3LoaderTest, ConnectIsBusyAsOftenAsToldThenSucceeds) {
    loader->setBusyReplies(3);
    Ftd2xxDataLink link(record());
    connectLoader(link);
    EXPECT_EQ(clock.sleepCount(), 3);
    EXPECT_EQ(loader->commands(LoaderCommand::Connect).size(), 4);
    EXPECT_TRUE(loader->connected());
    disconnectLoader(link);
    EXPECT_FALSE(loader->connected());
}

TEST_F(Gen3LoaderTest, MemoryCommandsNeedAConnectionAndARangeInsideTheMemory) {
    Ftd2xxDataLink link(record());
    EXPECT_EQ(thrownMessage([&] { eraseMemory(link, 0x2000, 16); }), "memory erase failed");
    connectLoader(link);
    const quint32 end = IMAGE_BASE_ADDRESS + quint32(loader->memory().size());
    const QByteArray data(16, 'd');
    struct Range {
        quint32 address;
        quint32 count;
        bool ok;
    };
    for (const Range range :
         {Range{0x2000, 16, true}, Range{end - 16, 16, true}, Range{end - 15, 16, false},
          Range{0x1FFF, 1, false}, Range{0, 16, false}, Range{0x2000, 0xFFFFFFFF, false}}) {
        SCOPED_TRACE(range.address);
        EXPECT_EQ(thrownMessage([&] { eraseMemory(link, range.address, range.count); }),
                  range.ok ? "(no exception)" : "memory erase failed");
        if (range.count == 16) {
            EXPECT_EQ(
                thrownMessage([&] { writeMemory(link, range.address, range.count, dataOf(data)); }),
                range.ok ? "(no exception)" : "memory write failed");
            EXPECT_EQ(checkMemoryCrc(link, range.address, range.count, dataOf(data)), range.ok);
        }
    }
}

TEST_F(Gen3LoaderTest, WritingWithoutAnEraseOnlyClearsBitsSoTheCrcCheckCatchesIt) {
    Ftd2xxDataLink link(record());
    connectLoader(link);
    const QByteArray first = QByteArray::fromHex("F0F0F0F0");
    const QByteArray second = QByteArray::fromHex("0F0F0FFF");
    eraseMemory(link, 0x3000, 4);
    writeMemory(link, 0x3000, 4, dataOf(first));
    writeMemory(link, 0x3000, 4, dataOf(second));
    EXPECT_EQ(loader->memory().mid(0x1000, 4), QByteArray::fromHex("000000F0"));
    EXPECT_FALSE(checkMemoryCrc(link, 0x3000, 4, dataOf(second)));
    eraseMemory(link, 0x3000, 4);
    writeMemory(link, 0x3000, 4, dataOf(second));
    EXPECT_TRUE(checkMemoryCrc(link, 0x3000, 4, dataOf(second)));
}

TEST_F(Gen3LoaderTest, LoaderInfoReportsTheHeaderAtTheImageBase) {
    Ftd2xxDataLink link(record());
    LoaderInfo info = getLoaderInfo(link);
    EXPECT_EQ(info.imageState, IMAGE_STATE_INSTALLED);
    EXPECT_EQ(info.imageHeader.versionMajor, 1);
    EXPECT_EQ(info.imageHeader.versionMinor, 3);
    EXPECT_EQ(info.imageHeader.descriptionText(), QStringLiteral("factory build"));
    EXPECT_EQ(info.loaderVersionMajor, 3);
    EXPECT_EQ(info.loaderVersionMinor, 1);

    // Erasing the first word alone takes the marker away; the rest of the header stays.
    connectLoader(link);
    eraseMemory(link, 0x2000, 4);
    info = getLoaderInfo(link);
    EXPECT_EQ(info.imageState, 0u);
    EXPECT_EQ(info.imageHeader.magic, 0xFFFFFFFFu);
    EXPECT_EQ(info.imageHeader.versionMinor, 3);

    // An image written in its place is reported as soon as its header is in.
    const QByteArray image = testImage(8192, 4, 2, QStringLiteral("fresh"));
    eraseMemory(link, 0x2000, 8192);
    writeMemory(link, 0x2000, 8192, dataOf(image));
    info = getLoaderInfo(link);
    EXPECT_EQ(info.imageState, IMAGE_STATE_INSTALLED);
    EXPECT_EQ(info.imageHeader.toBytes(), image.left(FirmwareImageHeader::SIZE));
}

TEST_F(Gen3LoaderTest, RepliesComeAfterTheLoadersWorkingTime) {
    Gen3ProbeOptions options;  // the demo's timing
    attachProbe(options);
    Ftd2xxDataLink link(record());
    connectLoader(link);
    const QByteArray image = testImage(16384);
    const auto elapsed = [&](const std::function<void()>& command) {
        const quint32 start = tickCountMs();
        command();
        return tickCountMs() - start;
    };
    const Gen3Loader::Timing timing;
    const quint32 erase = elapsed([&] { eraseMemory(link, 0x2000, 16384); });
    const quint32 write = elapsed([&] { writeMemory(link, 0x2000, 16384, dataOf(image)); });
    const quint32 crc = elapsed([&] { checkMemoryCrc(link, 0x2000, 16384, dataOf(image)); });
    // Two chunks' worth of work, plus at most the chip's 1 ms latency for the last poll.
    EXPECT_GE(erase, timing.replyMs + 2 * timing.eraseMsPerChunk);
    EXPECT_LE(erase, timing.replyMs + 2 * timing.eraseMsPerChunk + 1);
    EXPECT_GE(write, timing.replyMs + 2 * timing.writeMsPerChunk);
    EXPECT_LE(write, timing.replyMs + 2 * timing.writeMsPerChunk + 1);
    EXPECT_GE(crc, timing.replyMs + 2 * timing.crcMsPerChunk);
    EXPECT_LE(crc, timing.replyMs + 2 * timing.crcMsPerChunk + 1);
}

// One fault of the vocabulary against the command it hits, and what the host makes of it.
// (The page's install tests take the other faults through a whole install.)
struct FaultCase {
    const char* fault;
    std::function<void(HDataLink&, Gen3Loader&)> action;
    const char* message;
    friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault; }
};

const QByteArray& sample() {
    static const QByteArray bytes(64, 's');
    return bytes;
}

void doErase(HDataLink& link, Gen3Loader&) {
    connectLoader(link);
    eraseMemory(link, 0x2000, 64);
}
void doWrite(HDataLink& link, Gen3Loader&) {
    connectLoader(link);
    writeMemory(link, 0x2000, 64, dataOf(sample()));
}
void doCrc(HDataLink& link, Gen3Loader&) {
    connectLoader(link);
    if (!checkMemoryCrc(link, 0x2000, 64, dataOf(sample()))) {
        throw HException("(mismatch)");
    }
}
void doCrcAfterWrite(HDataLink& link, Gen3Loader& loader) {
    connectLoader(link);
    eraseMemory(link, 0x2000, 64);
    writeMemory(link, 0x2000, 64, dataOf(sample()));
    doCrc(link, loader);
}
void doDisconnect(HDataLink& link, Gen3Loader&) {
    connectLoader(link);
    disconnectLoader(link);
}
void doInfo(HDataLink& link, Gen3Loader&) {
    getLoaderInfo(link);
}

class LoaderFaults : public ::testing::TestWithParam<FaultCase>, public Gen3ProbeFixture {};

TEST_P(LoaderFaults, GiveTheHostsMessage) {
    Gen3ProbeOptions options = instantOptions();
    options.faults = *Gen3LoaderFault::parseList(QLatin1String(GetParam().fault));
    attachProbe(options);
    Ftd2xxDataLink link(record());
    EXPECT_EQ(thrownMessage([&] { GetParam().action(link, *loader); }), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Vocabulary, LoaderFaults,
    ::testing::Values(FaultCase{"connect-short", doErase, "read timed out"},
                      FaultCase{"erase-silent", doErase, "read timed out"},
                      FaultCase{"write-short", doWrite, "read timed out"},
                      FaultCase{"crc-silent", doCrcAfterWrite, "read timed out"},
                      // The host does not examine the CRC reply's tag and status.
                      FaultCase{"crc-tag", doCrcAfterWrite, "(no exception)"},
                      FaultCase{"disconnect-short", doDisconnect, "read timed out"},
                      FaultCase{"info-tag", doInfo,
                                "get loader info failed, unexpected tag returned"},
                      FaultCase{"info-short", doInfo, "read timed out"},
                      FaultCase{"info-silent", doInfo, "read timed out"},
                      // A fault for a later command leaves the first one alone.
                      FaultCase{"erase-fail@2", doErase, "(no exception)"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
        QString name = QLatin1String(info.param.fault);
        name.replace(u'-', u'_').replace(u'@', u'_');
        return name.toStdString();
    });

TEST_F(Gen3LoaderTest, FaultsHitTheNthCommandOfTheirKindOrEveryOne) {
    loader->injectFault(*Gen3LoaderFault::parse(QStringLiteral("crc-mismatch@2")));
    loader->injectFault(*Gen3LoaderFault::parse(QStringLiteral("info-tag@*")));
    Ftd2xxDataLink link(record());
    connectLoader(link);
    const QByteArray image = testImage(24576);
    eraseMemory(link, 0x2000, 24576);
    writeMemory(link, 0x2000, 24576, dataOf(image));
    for (int chunk = 0; chunk < 3; ++chunk) {
        EXPECT_EQ(checkMemoryCrc(link, 0x2000 + chunk * 8192, 8192,
                                 dataOf(image) + qsizetype(chunk) * 8192),
                  chunk != 1)
            << chunk;
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(thrownMessage([&] { getLoaderInfo(link); }),
                  "get loader info failed, unexpected tag returned");
    }
}

TEST_F(Gen3LoaderTest, AnUnplugDuringAWritesDataTakesTheProbeOffTheBus) {
    loader->injectFault(*Gen3LoaderFault::parse(QStringLiteral("unplug@2")));
    Gen3Engine installer;
    const QByteArray image = testImage(3 * 8192);
    {
        Ftd2xxDataLink link(record());
        EXPECT_EQ(thrownMessage([&] { installer.installImage(link, image); }),
                  "Download failed : write timed out");
    }
    EXPECT_FALSE(device->present());
    EXPECT_TRUE(bus->enumerate().isEmpty());
    // The first chunk went in whole, the second only half.
    const QList<Gen3Loader::Command> writes = loader->commands(LoaderCommand::Write);
    ASSERT_EQ(writes.size(), 1);
    EXPECT_EQ(loader->memory().left(8192), image.left(8192));
    EXPECT_EQ(loader->memory().mid(8192, 4096), image.mid(8192, 4096));
    EXPECT_EQ(loader->memory().mid(12288, 4096), QByteArray(4096, '\xFF'));
}

TEST(Gen3LoaderFault, VocabularyParsesAndRejects) {
    using Fault = Gen3LoaderFault;
    EXPECT_EQ(Fault::parse(QStringLiteral("erase-tag@2")),
              (Fault{Fault::WrongTag, LoaderCommand::Erase, 2}));
    EXPECT_EQ(Fault::parse(QStringLiteral(" Write-Silent@* ")),
              (Fault{Fault::NoReply, LoaderCommand::Write, 0}));
    EXPECT_EQ(Fault::parse(QStringLiteral("crc-mismatch@3")),
              (Fault{Fault::CrcMismatch, LoaderCommand::Crc, 3}));
    EXPECT_EQ(Fault::parse(QStringLiteral("unplug")),
              (Fault{Fault::Unplug, LoaderCommand::Write, 1}));
    EXPECT_EQ(Fault::parse(QStringLiteral("connect-fail")),
              (Fault{Fault::Failure, LoaderCommand::Connect, 1}));
    for (const char* bad :
         {"", "erase", "erase-", "-tag", "erase-tags", "format-tag", "erase-tag@0", "erase-tag@",
          "erase-tag@x", "erase-tag2", "crc-fail", "info-fail", "unplug@-1"}) {
        EXPECT_FALSE(Fault::parse(QLatin1String(bad))) << bad;
    }
    const auto list = Fault::parseList(QStringLiteral("erase-tag+crc-mismatch@2"));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->size(), 2);
    EXPECT_FALSE(Fault::parseList(QStringLiteral("erase-tag+bogus")));
}

}  // namespace
