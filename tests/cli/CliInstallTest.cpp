// kvtool-cli install against emulated probes: the same sequence and probe traffic as the
// firmware pages, progress events in order, every failure with its message and exit code,
// and files refused before the probe is touched.

#include "CliImages.h"
#include "CliRunner.h"
#include "gen2/ReplyPairing.h"
#include "support/FakeLogind.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

constexpr int GEN2_APPLICATION_BYTES = 8192 - 512;
constexpr int GEN2_PACKETS = GEN2_APPLICATION_BYTES / 32;
constexpr char COMMAND_MAGIC[] = "\x5a\xc3\x17\x9e";

// The generation-3 command tags among the frames the host sent (data payloads left out).
QList<int> loaderCommands(const QList<QByteArray>& sent) {
    QList<int> tags;
    for (const QByteArray& frame : sent) {
        if ((frame.size() == 5 || frame.size() == 13) &&
            frame.mid(1, 4) == QByteArrayView(COMMAND_MAGIC, 4)) {
            tags << quint8(frame.front());
        }
    }
    return tags;
}

class CliInstall : public ::testing::Test {
protected:
    void SetUp() override {
        gen3Image = writeGen3TestImage(cli.directory(), QStringLiteral("kv3.bin"), GEN3_IMAGE_SIZE);
        writeGen2TestImages(cli.path(QStringLiteral("fw")));
        gen2Image = cli.path(QStringLiteral("fw/kv_alder_max.bin"));
    }
    // The events of a --json install: their "event" keys in order.
    static QStringList events(const CliRun& run) {
        QStringList names;
        for (const QJsonObject& object : run.json()) {
            names << object.value(QStringLiteral("event")).toString();
        }
        return names;
    }

    CliRunner cli;
    QString gen3Image;
    QString gen2Image;
};

// Phases and positions of the progress events, as "text:done/total".
QStringList progressTrail(const CliRun& run) {
    QStringList trail;
    for (const QJsonObject& event : run.json()) {
        const QString kind = event.value(QStringLiteral("event")).toString();
        if (kind == u"phase" || kind == u"progress") {
            trail << QStringLiteral("%1 %2:%3/%4")
                         .arg(kind, event.value(QStringLiteral("text")).toString())
                         .arg(event.value(QStringLiteral("done")).toInt())
                         .arg(event.value(QStringLiteral("total")).toInt());
        }
    }
    return trail;
}

TEST_F(CliInstall, Generation3RunsThePageSequenceAndReportsTheNewVersion) {
    cli.emulate(QStringLiteral("gen3"));
    const CliRun run = cli.run({QStringLiteral("install"), gen3Image, QStringLiteral("--json")});
    ASSERT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);

    QStringList expected;
    for (const char* text : {"Erasing memory, do not remove Korvane",
                             "Downloading firmware, do not remove Korvane", "Verifying firmware"}) {
        const QString phase = QLatin1String(text);
        expected << QStringLiteral("phase %1:0/%2").arg(phase).arg(GEN3_IMAGE_SIZE);
        for (const int done : {0, 8192, 16384, GEN3_IMAGE_SIZE}) {
            expected
                << QStringLiteral("progress %1:%2/%3").arg(phase).arg(done).arg(GEN3_IMAGE_SIZE);
        }
    }
    EXPECT_EQ(progressTrail(run), expected);
    EXPECT_EQ(events(run).first(), u"start");
    const QJsonObject result = run.result();
    EXPECT_EQ(result.value(QStringLiteral("event")).toString(), u"result");
    EXPECT_TRUE(result.value(QStringLiteral("ok")).toBool());
    EXPECT_EQ(result[QStringLiteral("previousFirmware")][QStringLiteral("versionText")].toString(),
              u"1.3 - factory build");
    EXPECT_EQ(result[QStringLiteral("firmware")][QStringLiteral("versionText")].toString(),
              u"1.4 - cli test");

    // Loader info (the probe as shown), connect, three erases, writes and CRC checks,
    // disconnect, and loader info again (the new version).
    EXPECT_EQ(loaderCommands(cli.sent()), (QList<int>{0x08, 0x01, 0x05, 0x05, 0x05, 0x03, 0x03,
                                                      0x03, 0x07, 0x07, 0x07, 0x02, 0x08}));
}

TEST_F(CliInstall, Generation2RunsTheBootloaderDownloadAndWaitsForTheApplication) {
    cli.emulate(QStringLiteral("gen2"));
    const CliRun run = cli.run(args(
        {"install", "--target", "cedar", "--clocking", "var", "--firmware-dir", "fw", "--json"}));
    ASSERT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);

    const QStringList trail = progressTrail(run);
    ASSERT_FALSE(trail.isEmpty());
    EXPECT_EQ(trail.first(), u"phase Waiting for bootloader to start:0/60");
    EXPECT_TRUE(trail.contains(QStringLiteral("progress Waiting for bootloader to start:60/60")));
    const qsizetype programming =
        trail.indexOf(QStringLiteral("phase Programming:0/%1").arg(GEN2_APPLICATION_BYTES));
    const qsizetype verifying =
        trail.indexOf(QStringLiteral("phase Verifying:0/%1").arg(GEN2_APPLICATION_BYTES));
    ASSERT_GT(programming, 0);
    ASSERT_GT(verifying, programming);
    EXPECT_EQ(verifying - programming, GEN2_PACKETS + 2);  // the phase, its start and each packet
    EXPECT_EQ(trail.last(), QStringLiteral("progress Verifying:%1/%1").arg(GEN2_APPLICATION_BYTES));

    QStringList messages;
    for (const QJsonObject& event : run.json()) {
        if (event.value(QStringLiteral("event")).toString() == u"message") {
            messages << event.value(QStringLiteral("text")).toString();
        }
    }
    EXPECT_EQ(messages.first(), u"Firmware installed.");
    const QJsonObject firmware = run.result()[QStringLiteral("firmware")].toObject();
    EXPECT_EQ(firmware[QStringLiteral("versionText")].toString(), u"2.12");
    EXPECT_EQ(firmware[QStringLiteral("variant")].toString(),
              u"Cedar, Variable Speed and Adaptive");

    // ReadInfo (the probe as shown), EnterBootloader, ReadInfo until the bootloader answers,
    // BeginDownload, every Program packet, the Verify packets (every block's among those of
    // known answers that pair the replies), EndDownload, and ReadInfo of the restarted
    // application.
    QList<int> codes = firstBytes(cli.sent());
    ASSERT_GE(codes.size(), 5);
    EXPECT_EQ(codes.takeFirst(), 0x84);
    EXPECT_EQ(codes.takeFirst(), 0x83);
    while (!codes.isEmpty() && codes.first() == 0x84) {
        codes.removeFirst();
    }
    const qsizetype verifies = codes.count(0x85);
    EXPECT_GE(verifies, GEN2_PACKETS + ReplyPairing::RESYNC_LENGTH + ReplyPairing::TRAILER_LENGTH);
    QList<int> expected{0x80};
    expected.append(QList<int>(GEN2_PACKETS, 0x81));
    expected.append(QList<int>(verifies, 0x85));
    expected << 0x82 << 0x84;
    EXPECT_EQ(codes, expected);
}

TEST_F(CliInstall, Generation2ProbeLeftInItsBootloaderIsInstalledAsWell) {
    cli.emulate(QStringLiteral("gen2-bootloader"));
    const CliRun run = cli.run({QStringLiteral("install"), gen2Image});
    ASSERT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    EXPECT_TRUE(run.out.contains(QStringLiteral("Installed:  bootloader running")));
    EXPECT_TRUE(run.out.contains(QStringLiteral("Firmware installed.\n")));
    EXPECT_TRUE(run.out.contains(QStringLiteral("Now installed: 2.12, Alder, Maximum Speed")));
}

TEST_F(CliInstall, OnAPipeEachPhaseIsOneLineAtItsStartAndOneAtItsEnd) {
    cli.emulate(QStringLiteral("gen3"));
    const CliRun run = cli.run({QStringLiteral("install"), gen3Image});
    ASSERT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    const QStringList phases{QStringLiteral("Erasing memory, do not remove Korvane"),
                             QStringLiteral("Downloading firmware, do not remove Korvane"),
                             QStringLiteral("Verifying firmware")};
    QStringList expected;
    for (const QString& phase : phases) {
        expected << phase + QStringLiteral(": 20000 bytes")
                 << phase + QStringLiteral(": done, 20000 bytes in ");
    }
    QStringList progress;
    for (const QString& line : run.outLines()) {
        if (std::any_of(phases.begin(), phases.end(),
                        [&](const QString& phase) { return line.startsWith(phase); })) {
            progress << line;
        }
    }
    ASSERT_EQ(progress.size(), expected.size()) << run.out.toStdString();
    for (qsizetype i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(progress[i].startsWith(expected[i])) << progress[i].toStdString();
    }
    EXPECT_FALSE(run.out.contains(u'\r'));
}

// ---- Failures -----------------------------------------------------------------------------

struct FailureCase {
    const char* name;
    const char* emulate;
    bool generation3;  // which image to install
    const char* message;
    int exitCode;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class CliInstallFailure : public CliInstall, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CliInstallFailure, EndsWithItsMessageAndExitCode) {
    const FailureCase& c = GetParam();
    cli.emulate(QLatin1String(c.emulate));
    const CliRun run = cli.run({QStringLiteral("install"), c.generation3 ? gen3Image : gen2Image});
    EXPECT_EQ(run.exitCode, c.exitCode) << ::testing::PrintToString(run);
    EXPECT_EQ(run.errLines().value(0), QStringLiteral("kvtool-cli: ") + QLatin1String(c.message))
        << run.err.toStdString();
    EXPECT_FALSE(run.out.contains(QStringLiteral("Now installed")));

    // The JSON result says the same.
    const QJsonObject result =
        cli.run({QStringLiteral("install"), c.generation3 ? gen3Image : gen2Image,
                 QStringLiteral("--json")})
            .result();
    EXPECT_FALSE(result.value(QStringLiteral("ok")).toBool());
    EXPECT_EQ(result.value(QStringLiteral("exitCode")).toInt(), c.exitCode);
    EXPECT_EQ(result.value(QStringLiteral("error")).toString(), QLatin1String(c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Generation3, CliInstallFailure,
    ::testing::Values(
        FailureCase{"connect_tag", "gen3:fault=connect-tag", true,
                    "connect failed, unexpected tag returned", 1},
        FailureCase{"connect_refused", "gen3:fault=connect-fail", true, "connect failed", 1},
        FailureCase{"connect_busy_ten_times", "gen3:busy=10", true, "connect failed", 1},
        FailureCase{"connect_silent", "gen3:fault=connect-silent", true, "read timed out", 1},
        FailureCase{"erase_refused", "gen3:fault=erase-fail@2", true,
                    "Erase failed : memory erase failed", 1},
        FailureCase{"erase_tag", "gen3:fault=erase-tag", true,
                    "Erase failed : memory erase failed, unexpected tag returned", 1},
        FailureCase{"erase_silent", "gen3:fault=erase-silent", true,
                    "Erase failed : read timed out", 1},
        FailureCase{"write_refused", "gen3:fault=write-fail@3", true,
                    "Download failed : memory write failed", 1},
        FailureCase{"write_tag", "gen3:fault=write-tag", true,
                    "Download failed : memory write failed, unexpected tag returned", 1},
        FailureCase{"write_short", "gen3:fault=write-short", true,
                    "Download failed : read timed out", 1},
        FailureCase{"unplugged_while_writing", "gen3:fault=unplug", true,
                    "Download failed : write timed out", 1},
        FailureCase{"crc_mismatch", "gen3:fault=crc-mismatch@2", true,
                    "Verify failed : crc check mismatch", 1},
        FailureCase{"crc_short", "gen3:fault=crc-short", true, "Verify failed : read timed out", 1},
        // The third reply (the second chunk's erase) comes after the install's 60 s time-out.
        FailureCase{"erase_answer_late", "gen3:latency=20:late=61000@3", true,
                    "Erase failed : read timed out", 1},
        FailureCase{"disconnect_refused", "gen3:fault=disconnect-fail", true, "disconnect failed",
                    1},
        FailureCase{"disconnect_tag", "gen3:fault=disconnect-tag", true,
                    "disconnect failed, unexpected tag returned", 1},
        FailureCase{"memory_too_small", "gen3:memory=8K", true,
                    "Erase failed : memory erase failed", 1},
        FailureCase{"loader_info_tag", "gen3:fault=info-tag", true,
                    "get loader info failed, unexpected tag returned", 1},
        FailureCase{"open_busy", "gen3:open=busy", true, "device already in use", 1},
        FailureCase{"open_fails", "gen3:open=fail", true, "cannot open device driver", 1},
        FailureCase{"open_denied", "gen3:open=denied", true, "cannot open device driver", 4}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Generation2, CliInstallFailure,
    ::testing::Values(
        FailureCase{"bootloader_never_appears", "gen2:fault=never", false,
                    "Bootloader restore failed", 1},
        FailureCase{"application_keeps_answering", "gen2:fault=app@70", false,
                    "Bootloader restore failed", 1},
        FailureCase{"verify_mismatch", "gen2:fault=verify@3", false,
                    "Application download verify failed", 1},
        FailureCase{"unplugged_while_programming", "gen2:fault=unplug@1000", false,
                    "write operation failed", 1},
        FailureCase{"no_reply", "gen2:fault=mute", false, "read operation timed out", 1},
        // Replies read for the wrong request: the bootloader's first answer comes after the
        // link gave up on it, or an answer of an earlier session is still queued; either
        // way the last block's mismatch must be read as the mismatch it is.
        FailureCase{"late_first_answer_then_last_block_wrong",
                    "gen2:latency=150:late=10500:fault=verify@239", false,
                    "Application download verify failed", 1},
        FailureCase{"stale_answer_queued_then_last_block_wrong",
                    "gen2-bootloader:enter=ignore:stale=1:latency=150:fault=verify@239", false,
                    "Application download verify failed", 1},
        FailureCase{"open_busy", "gen2:open=busy", false, "device already in use", 1},
        FailureCase{"open_denied", "gen2:open=denied", false, "cannot open device driver", 4},
        FailureCase{"no_probe", "device", false, "No devices connected", 3},
        FailureCase{"two_probes", "gen2,gen3", false, "Multiple devices connected", 3}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// A probe that another program holds: the system's message, and a hint that names the
// program (pid and command, from /proc), for an install as for info.
TEST_F(CliInstall, ABusyProbeNamesTheProgramThatHoldsIt) {
    const QString node = cli.path(QStringLiteral("node"));
    QFile(node).open(QIODevice::WriteOnly);
    // Started once it runs as sleep, the node open as its input: no moment in which /proc
    // names another program.
    QProcess holder;
    holder.setStandardInputFile(node);
    holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(holder.waitForStarted(10000));
    const QString hint =
        QStringLiteral(
            "kvtool-cli: hint: the probe is in use by PID %1 (sleep): end that program, "
            "or have it let go of the probe, and try again")
            .arg(holder.processId());
    cli.emulate(QStringLiteral("gen3:open=busy:node=") + node);
    for (const QStringList& command :
         {QStringList{QStringLiteral("install"), gen3Image}, QStringList{QStringLiteral("info")}}) {
        const CliRun run = cli.run(command);
        EXPECT_EQ(run.exitCode, 1) << ::testing::PrintToString(run);
        EXPECT_EQ(run.errLines(),
                  (QStringList{QStringLiteral("kvtool-cli: device already in use"), hint}));
    }
    holder.kill();
    holder.waitForFinished();
    // Once it has let go, there is nobody to name.
    EXPECT_TRUE(cli.run({QStringLiteral("install"), gen3Image})
                    .err.contains(QStringLiteral("another program has the probe open")));
}

TEST_F(CliInstall, Generation2InstallsThroughLateAndStaleReplies) {
    for (const char* emulate :
         {"gen2:latency=150:late=10500", "gen2-bootloader:enter=ignore:stale=1:latency=150",
          // A bootloader whose first answer comes 12 to 22 s late, after the read gave up.
          "gen2:late=15000", "gen2:late=22000"}) {
        cli.emulate(QLatin1String(emulate));
        const CliRun run =
            cli.run({QStringLiteral("install"), gen2Image, QStringLiteral("--json")});
        EXPECT_EQ(run.exitCode, 0) << emulate << ::testing::PrintToString(run);
        EXPECT_EQ(
            run.result()[QStringLiteral("firmware")].toObject()[QStringLiteral("versionText")],
            QStringLiteral("2.12"))
            << emulate;
    }
}

TEST_F(CliInstall, Generation2VerifyFailureShowsThePhaseWhereItStopped) {
    cli.emulate(QStringLiteral("gen2:fault=verify@3"));
    const CliRun run = cli.run({QStringLiteral("install"), gen2Image});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.contains(QStringLiteral("Verifying: failed after 96 of 7680 bytes")))
        << run.out.toStdString();
}

TEST_F(CliInstall, Generation3StepFailureShowsThePositionBeforeTheStepsFinalReport) {
    cli.emulate(QStringLiteral("gen3:fault=crc-mismatch@2"));
    const CliRun run = cli.run({QStringLiteral("install"), gen3Image});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.contains(QStringLiteral("Erasing memory, do not remove Korvane: done")));
    EXPECT_TRUE(
        run.out.contains(QStringLiteral("Verifying firmware: failed after 8192 of 20000 bytes")))
        << run.out.toStdString();
}

// ---- Choosing the probe -------------------------------------------------------------------

TEST_F(CliInstall, SerialPicksOneOfSeveralGeneration3Probes) {
    cli.emulate(QStringLiteral("gen3,gen3,gen2"));
    EXPECT_EQ(cli.run({QStringLiteral("install"), gen3Image}).exitCode, 3);
    EXPECT_TRUE(cli.frames().isEmpty());

    const CliRun run = cli.run({QStringLiteral("install"), gen3Image, QStringLiteral("--serial"),
                                QStringLiteral("K3000002")});
    ASSERT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    QSet<int> devices;
    for (const ExportedFrame& frame : cli.frames()) {
        devices.insert(frame.device);
    }
    EXPECT_EQ(devices, QSet<int>{2});
}

// Another generation-2 probe may stay attached: the install follows its own probe by its
// port through the restart, and the other hears nothing.
TEST_F(CliInstall, Generation2InstallsOnTheNamedProbeBesideAnother) {
    for (const char* emulate :
         {"gen2:serial=K2000001,gen2:serial=K2000002",
          "gen2-bootloader:serial=K2000001,gen2:serial=K2000002", "gen3,gen2:serial=K2000002"}) {
        cli.emulate(QLatin1String(emulate));
        const CliRun run =
            cli.run({QStringLiteral("install"), gen2Image, QStringLiteral("--serial"),
                     QStringLiteral("K2000002"), QStringLiteral("--json")});
        EXPECT_EQ(run.exitCode, 0) << emulate << ::testing::PrintToString(run);
        EXPECT_EQ(
            run.result()[QStringLiteral("firmware")].toObject()[QStringLiteral("versionText")],
            QStringLiteral("2.12"))
            << emulate;
        for (const ExportedFrame& frame : cli.frames()) {
            EXPECT_NE(frame.serial, QStringLiteral("K2000001")) << emulate;
        }
    }
}

// ---- Files refused before the probe is touched ---------------------------------------------

struct RefusalCase {
    const char* name;
    const char* emulate;
    const char* file;  // relative to the scratch directory; see SetUp
    QStringList extra;
    const char* message;  // the start of the first line of standard error
    int exitCode;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class CliInstallRefusal : public CliInstall, public ::testing::WithParamInterface<RefusalCase> {
protected:
    void SetUp() override {
        CliInstall::SetUp();
        writeFile(cli.directory(), QStringLiteral("text.bin"), "no firmware here\n");
        writeGen2TestImage(cli.directory(), QStringLiteral("large.bin"), 13312);
        writeGen2TestImage(cli.directory(), QStringLiteral("largest.bin"), 13311);
        writeGen2TestImage(cli.directory(), QStringLiteral("serial5.bin"), 8192, 5);
        writeFile(cli.directory(), QStringLiteral("short3.bin"), QByteArray::fromHex("0df0feca00"));
        // A kv_alder_max.bin whose own version record names another variant.
        writeGen2VersionImage(
            cli.path(QStringLiteral("odd")), QStringLiteral("kv_alder_max.bin"), 2, 12,
            kv2::flagsOf(kv2::TargetFamily::Birch, kv2::JtagClocking::VariableSpeedAndAdaptive));
        // Generation-2 images each without one of the marks the image load looks for.
        KV2ImageSpec noDescriptor;
        noDescriptor.deviceDescriptorOffset = KV2ImageSpec::OMIT;
        writeKV2ImageFile(cli.path(QStringLiteral("nopid.bin")), generateKV2Image(noDescriptor));
        KV2ImageSpec noMaker;
        noMaker.makerDescriptorOffset = KV2ImageSpec::OMIT;
        writeKV2ImageFile(cli.path(QStringLiteral("nomaker.bin")), generateKV2Image(noMaker));
        // Larger than any probe holds: refused before it is read (the file is sparse).
        QFile huge(cli.path(QStringLiteral("huge.bin")));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(16 * 1024 * 1024 + 1));
    }
};

TEST_P(CliInstallRefusal, SendsNothingToTheProbe) {
    const RefusalCase& c = GetParam();
    cli.emulate(QLatin1String(c.emulate));
    QStringList arguments{QStringLiteral("install")};
    if (c.file != nullptr) {
        arguments << QLatin1String(c.file);
    }
    arguments << c.extra;
    const CliRun run = cli.run(arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << ::testing::PrintToString(run);
    EXPECT_TRUE(run.errLines().value(0).startsWith(QStringLiteral("kvtool-cli: ") +
                                                   QLatin1String(c.message)))
        << run.err.toStdString();
    EXPECT_TRUE(cli.frameLogExported());
    EXPECT_TRUE(cli.frames().isEmpty()) << "the probe was touched";
}

INSTANTIATE_TEST_SUITE_P(
    Files, CliInstallRefusal,
    ::testing::Values(
        RefusalCase{
            "gen2_image_on_gen3_probe",
            "gen3",
            "fw/kv_alder_max.bin",
            {},
            "fw/kv_alder_max.bin is a generation-2 image, but the probe K3000001 is generation 3",
            5},
        RefusalCase{"gen3_image_on_gen2_probe",
                    "gen2",
                    "kv3.bin",
                    {},
                    "kv3.bin is a generation-3 image, but the probe K2000001 is generation 2",
                    5},
        RefusalCase{"gen3_image_on_gen2_bootloader",
                    "gen2-bootloader",
                    "kv3.bin",
                    {},
                    "kv3.bin is a generation-3 image",
                    5},
        RefusalCase{"target_on_gen3_probe",
                    "gen3",
                    nullptr,
                    {"--target", "birch", "--clocking", "max", "--firmware-dir", "fw"},
                    "fw/kv_birch_max.bin is a generation-2 image, but the probe K3000001",
                    5},
        RefusalCase{"no_image", "gen3", "text.bin", {}, "not a firmware image", 5},
        RefusalCase{"missing_file", "gen3", "missing.bin", {}, "cannot open missing.bin", 5},
        // For a generation-2 probe, in the words of its page.
        RefusalCase{"no_image_for_gen2", "gen2", "text.bin", {}, "Cannot find serial number", 5},
        RefusalCase{"no_descriptor_for_gen2", "gen2", "nopid.bin", {}, "Cannot find PID", 5},
        RefusalCase{"no_maker_for_gen2", "gen2", "nomaker.bin", {}, "Bad firmware file", 5},
        RefusalCase{
            "missing_file_for_gen2", "gen2", "missing.bin", {}, "Cannot open missing.bin", 5},
        RefusalCase{"no_image_for_all_gen2",
                    "gen2,gen2",
                    "text.bin",
                    {"--all"},
                    "Cannot find serial number",
                    5},
        RefusalCase{"no_image_for_one_of_each",
                    "gen2,gen3",
                    "nopid.bin",
                    {"--all"},
                    "not a firmware image",
                    5},
        RefusalCase{"directory", "gen3", "fw", {}, "cannot open fw", 5},
        RefusalCase{"gen3_header_cut_short", "gen3", "short3.bin", {}, "not a firmware image", 5},
        RefusalCase{"larger_than_any_probe",
                    "gen3",
                    "huge.bin",
                    {},
                    "image too large: huge.bin is 16777217 bytes, a probe holds at most 16777216",
                    5},
        RefusalCase{"target_file_missing",
                    "gen2",
                    nullptr,
                    {"--target", "alder", "--clocking", "max", "--firmware-dir", "nowhere"},
                    "Cannot open nowhere/kv_alder_max.bin",
                    5},
        RefusalCase{"record_of_another_variant",
                    "gen2",
                    nullptr,
                    {"--target", "alder", "--clocking", "max", "--firmware-dir", "odd"},
                    "odd/kv_alder_max.bin: its version record names Birch, Variable Speed and "
                    "Adaptive, not Alder, Maximum Speed",
                    5},
        RefusalCase{"record_of_another_variant_for_all",
                    "gen2,gen2",
                    nullptr,
                    {"--target", "alder", "--clocking", "max", "--firmware-dir", "odd", "--all"},
                    "odd/kv_alder_max.bin: its version record names Birch",
                    5},
        RefusalCase{"gen2_too_large",
                    "gen2",
                    "large.bin",
                    {},
                    "Application to large to fit in appication zone",
                    5},
        RefusalCase{"gen2_serial_field_too_short",
                    "gen2",
                    "serial5.bin",
                    {},
                    "Cannot set serial number, incorrect size (K2000001)",
                    5},
        RefusalCase{
            "no_probe_for_a_good_file", "device", "kv3.bin", {}, "No devices connected", 3}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// --force installs an image whose version record names another variant than the one
// chosen: the probe then reports that record's variant.
TEST_F(CliInstall, ForceInstallsAnImageOfAnotherVariantThanChosen) {
    writeGen2VersionImage(cli.path(QStringLiteral("odd")), QStringLiteral("kv_alder_max.bin"), 2,
                          12,
                          kv2::flagsOf(kv2::TargetFamily::Cedar, kv2::JtagClocking::MaximumSpeed));
    cli.emulate(QStringLiteral("gen2"));
    const CliRun run = cli.run(args(
        {"install", "--target", "alder", "--clocking", "max", "--firmware-dir", "odd", "--force"}));
    EXPECT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    EXPECT_TRUE(run.out.contains("Cedar, Maximum Speed")) << run.out.toStdString();
}

TEST_F(CliInstall, LargestGeneration2ImageIsInstalled) {
    writeGen2TestImage(cli.directory(), QStringLiteral("largest.bin"), 13311);
    cli.emulate(QStringLiteral("gen2"));
    const CliRun run =
        cli.run({QStringLiteral("install"), cli.path(QStringLiteral("largest.bin"))});
    EXPECT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
}

// ---- Losing the terminal, and the --log record --------------------------------------------

// A reader that goes away after the first line, in the middle of a generation-2 download:
// the printing stops, the install goes on to its EndDownload and its record, and the status
// is the install's.
TEST_F(CliInstall, AClosedOutputStopsThePrintingNotTheInstall) {
    cli.emulate(QStringLiteral("gen2:reboot=300"));
    cli.setEnvironment(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("steady"));
    const CliRun run = cli.runShell(QStringLiteral(
        "{ \"$KVTOOL_CLI\" install fw/kv_alder_max.bin --log records.jsonl; echo $? >status; } "
        "| head -1"));
    EXPECT_EQ(run.outLines().size(), 1) << ::testing::PrintToString(run);
    QFile status(cli.path(QStringLiteral("status")));
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    EXPECT_EQ(status.readAll().trimmed(), "0");
    EXPECT_EQ(firstBytes(cli.sent()).count(0x82), 1) << "EndDownload";
    QFile records(cli.path(QStringLiteral("records.jsonl")));
    ASSERT_TRUE(records.open(QIODevice::ReadOnly));
    EXPECT_TRUE(records.readAll().contains("\"result\":\"installed\""));
}

struct LogCase {
    const char* name;
    const char* script;  // %1: the command line, run from the scratch directory
    const char* command;
    const char* message;  // a line of standard error
    int exitCode;
    bool mountsTmpfs = false;
};

void PrintTo(const LogCase& c, std::ostream* os) {
    *os << c.name;
}

class CliLogFailure : public CliInstall, public ::testing::WithParamInterface<LogCase> {};

// A --log file that cannot be used is refused before anything is sent (status 2), without
// waiting; a record that cannot be written is said, with the probe's serial number and the
// reason, and fails the command (status 1) although the install itself went well.
TEST_P(CliLogFailure, IsReportedAndFailsTheCommand) {
    const LogCase& c = GetParam();
    if (c.mountsTmpfs &&
        cli.runShell(QStringLiteral("mkdir -p m && unshare -m mount -t tmpfs tmpfs m")).exitCode !=
            0) {
        GTEST_SKIP() << "no tmpfs can be mounted here (needs unshare and CAP_SYS_ADMIN)";
    }
    cli.emulate(QStringLiteral("gen3"));
    writeFile(cli.directory(), QStringLiteral("readonly.jsonl"), "");
    QFile::setPermissions(cli.path(QStringLiteral("readonly.jsonl")),
                          QFileDevice::ReadOwner | QFileDevice::ReadOther);
    // As a user other than root where the tests run as root, for the permissions to apply
    // (that user cannot write the frame log into the scratch directory either).
    const bool unprivileged = QByteArray(c.name) == "unwritable";
    cli.runUnprivileged(unprivileged);
    const CliRun run = cli.runShell(
        QLatin1String(c.script).arg(QStringLiteral("\"$KVTOOL_CLI\" ") + QLatin1String(c.command)));
    EXPECT_EQ(run.exitCode, c.exitCode) << ::testing::PrintToString(run);
    EXPECT_TRUE(run.errLines().contains(QLatin1String(c.message))) << run.err.toStdString();
    if (c.exitCode == 2 && !unprivileged) {
        EXPECT_TRUE(cli.frameLogExported());
        EXPECT_TRUE(cli.frames().isEmpty()) << "the probe was touched";
    }
    // A file beyond the size limit keeps what it had: no half line.
    EXPECT_EQ(QFileInfo(cli.path(QStringLiteral("big.jsonl"))).size(),
              QByteArray(c.name) == "beyond_the_file_size_limit" ? 4096 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Records, CliLogFailure,
    ::testing::Values(
        LogCase{"directory", "exec %1", "install kv3.bin --log fw",
                "kvtool-cli: --log: cannot use fw: Is a directory", 2},
        LogCase{"missing_directory", "exec %1", "install kv3.bin --all --log nowhere/r.jsonl",
                "kvtool-cli: --log: cannot use nowhere/r.jsonl: No such file or directory", 2},
        LogCase{"unwritable", "exec %1", "install kv3.bin --log readonly.jsonl",
                "kvtool-cli: --log: cannot use readonly.jsonl: Permission denied", 2},
        LogCase{"device", "exec %1", "install kv3.bin --all --log /dev/full",
                "kvtool-cli: --log: cannot use /dev/full: not a regular file", 2},
        // Without a reader open() would wait for one for good; with one it would not.
        LogCase{"fifo_without_reader", "mkfifo pipe && exec %1", "watch kv3.bin --log pipe",
                "kvtool-cli: --log: cannot use pipe: not a regular file", 2},
        LogCase{"fifo_with_reader", "mkfifo pipe && { cat pipe >/dev/null & } && exec %1 >pipe",
                "install kv3.bin --log pipe",
                "kvtool-cli: --log: cannot use pipe: not a regular file", 2},
        LogCase{"full_file_system",
                "mkdir -p full && exec unshare -m sh -c 'mount -t tmpfs -o size=4k tmpfs full && "
                "head -c 4096 /dev/zero >full/fill; exec %1'",
                "install kv3.bin --log full/r.jsonl",
                "kvtool-cli: K3000001: record not written to full/r.jsonl: No space left on device",
                1, true},
        // The record is the probe's session process's to write.
        LogCase{"full_file_system_on_several",
                "mkdir -p full && exec unshare -m sh -c 'mount -t tmpfs -o size=4k tmpfs full && "
                "head -c 4096 /dev/zero >full/fill; exec %1'",
                "install kv3.bin --all --json --log full/r.jsonl",
                "kvtool-cli: K3000001: record not written to full/r.jsonl: No space left on device",
                1, true},
        LogCase{"beyond_the_file_size_limit",
                "head -c 4096 /dev/zero >big.jsonl && ulimit -f 1 && exec %1",
                "install kv3.bin --log big.jsonl",
                "kvtool-cli: K3000001: record not written to big.jsonl: File too large", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Dry run --------------------------------------------------------------------------------

TEST_F(CliInstall, Generation3DryRunOnlyAsksTheLoaderWhatIsInstalled) {
    cli.emulate(QStringLiteral("gen3"));
    const CliRun run = cli.run({QStringLiteral("install"), gen3Image, QStringLiteral("--dry-run"),
                                QStringLiteral("--json")});
    ASSERT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    const QJsonObject plan = run.result()[QStringLiteral("plan")].toObject();
    EXPECT_EQ(plan[QStringLiteral("bytes")].toInt(), GEN3_IMAGE_SIZE);
    EXPECT_EQ(plan[QStringLiteral("count")].toInt(), 3);
    EXPECT_EQ(plan[QStringLiteral("address")].toInt(), 0x2000);
    EXPECT_TRUE(run.result()[QStringLiteral("firmware")].isNull());
    EXPECT_EQ(cli.sent(), QList<QByteArray>{QByteArray::fromHex("085ac3179e")});
}

TEST_F(CliInstall, Generation2DryRunNeverRestartsTheProbe) {
    cli.emulate(QStringLiteral("gen2"));
    const CliRun run = cli.run({QStringLiteral("install"), gen2Image, QStringLiteral("--dry-run")});
    ASSERT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    EXPECT_TRUE(
        run.out.contains(QStringLiteral("Dry run: nothing that changes the probe is sent.")));
    EXPECT_TRUE(run.out.contains(QStringLiteral(
        "Would install 2.12, Alder, Maximum Speed over 1.5, Birch, Variable Speed and "
        "Adaptive, 7680 bytes in 240 packets:")))
        << run.out.toStdString();
    EXPECT_EQ(firstBytes(cli.sent()), QList<int>{0x84});
}

// ---- Sleep and shutdown held off -----------------------------------------------------------

// Each install holds a logind inhibitor lock for its duration, after success and failure
// alike; without logind it goes on and, with --verbose, says so once.
TEST_F(CliInstall, InstallsHoldOffSleepAndShutdown) {
    const FakeLogind logind;
    ASSERT_TRUE(logind.running()) << logind.whyNot().toStdString();
    cli.setEnvironment(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), logind.address());
    struct Row {
        const char* emulate;
        QStringList arguments;
        int exitCode;
        int locks;
    };
    int expectedLocks = 0;
    for (const Row& row :
         {Row{"gen3", {}, 0, 1}, Row{"gen3:fault=crc-mismatch@1", {}, 1, 1},
          Row{"gen3,gen3", args({"--all"}), 0, 2}, Row{"gen3", args({"--dry-run"}), 0, 0}}) {
        cli.emulate(QLatin1String(row.emulate));
        const CliRun run =
            cli.run(QStringList{QStringLiteral("install"), gen3Image} + row.arguments);
        EXPECT_EQ(run.exitCode, row.exitCode) << row.emulate << ::testing::PrintToString(run);
        expectedLocks += row.locks;
        EXPECT_EQ(
            logind.inhibitCalls(),
            QStringList(expectedLocks,
                        QStringLiteral("sleep:shutdown kvtool Installing probe firmware block")))
            << row.emulate;
        EXPECT_EQ(logind.inhibitors(), 0) << row.emulate;
    }

    cli.setEnvironment(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + cli.path(QStringLiteral("no-bus")));
    cli.emulate(QStringLiteral("gen3"));
    const CliRun run = cli.run({QStringLiteral("install"), gen3Image, QStringLiteral("--verbose")});
    EXPECT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    EXPECT_EQ(run.err.count(QStringLiteral("sleep and shutdown are not held off")), 1)
        << run.err.toStdString();
}

}  // namespace
