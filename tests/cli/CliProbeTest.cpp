// kvtool-cli list and info against emulated probes of each generation and mode, the
// choice of one probe among several, the exit codes of each outcome, and output that
// cannot be written.

#include "CliImages.h"
#include "CliRunner.h"

#include <QFile>

#include <algorithm>

#include <gtest/gtest.h>

namespace {

struct ProbeCase {
    const char* name;
    const char* emulate;
    QStringList arguments;
    int exitCode;
    QStringList stdoutHas;  // lines of standard output must contain these, in order
    const char* stderrHas;  // nullptr: standard error stays empty
    // The system's firmware folder holds a generation-3 image 1.5 and a generation-2 image
    // 2.20 of Birch, Variable Speed and Adaptive, and an older one of each.
    bool images = false;
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
    *os << c.name;
}

class CliProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(CliProbeTest, PrintsWhatTheProbesReport) {
    const ProbeCase& c = GetParam();
    CliRunner cli;
    if (c.images) {
        writeGen3TestImage(cli.systemFirmware(), QStringLiteral("kv3.bin"), GEN3_IMAGE_SIZE, 1, 5,
                           QStringLiteral("newer"));
        writeGen3TestImage(cli.systemFirmware(), QStringLiteral("old.bin"), GEN3_IMAGE_SIZE, 1, 2);
        writeGen2VersionImage(cli.systemFirmware(), QStringLiteral("a"), 2, 20, 0x0A);
        writeGen2VersionImage(cli.systemFirmware(), QStringLiteral("b"), 1, 2, 0x0A);
    }
    cli.emulate(QLatin1String(c.emulate));
    const CliRun run = cli.run(c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << ::testing::PrintToString(run);
    qsizetype from = 0;
    for (const QString& expected : c.stdoutHas) {
        const qsizetype at = run.out.indexOf(expected, from);
        EXPECT_GE(at, 0) << "missing \"" << expected.toStdString() << "\" in order\n"
                         << ::testing::PrintToString(run);
        from = at < 0 ? from : at + expected.size();
    }
    if (c.stderrHas == nullptr) {
        EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    } else {
        EXPECT_TRUE(run.err.startsWith(QStringLiteral("kvtool-cli: ") + QLatin1String(c.stderrHas)))
            << run.err.toStdString();
    }
}

QStringList listCommand() {
    return {QStringLiteral("list")};
}

QStringList infoCommand() {
    return {QStringLiteral("info")};
}

QStringList infoFor(const char* serial) {
    return {QStringLiteral("info"), QStringLiteral("--serial"), QLatin1String(serial)};
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliProbeTest,
    ::testing::Values(
        ProbeCase{"list_gen3",
                  "gen3",
                  listCommand(),
                  0,
                  {"GENERATION", "3", "loader", "K3000001", "emulated:1"},
                  nullptr},
        // A newer image in the firmware folders is named; one as new as the probe's is not.
        ProbeCase{"list_newer_images",
                  "gen3,gen2,gen3:version=1.5:desc=x",
                  listCommand(),
                  0,
                  {"NEWER FIRMWARE", "K3000001", "1.5 - newer (", "share/kvtool/firmware/kv3.bin)",
                   "K2000001", "2.20 (", "K3000002  emulated:3  -"},
                  nullptr,
                  true},
        ProbeCase{"info_gen3_newer_image",
                  "gen3",
                  infoCommand(),
                  0,
                  {"Firmware:  1.3 - factory build", "Newer:     1.5 - newer in "},
                  nullptr,
                  true},
        ProbeCase{"info_gen2_newer_image",
                  "gen2",
                  infoCommand(),
                  0,
                  {"Variant:   Birch, Variable Speed and Adaptive", "Newer:     2.20 in "},
                  nullptr,
                  true},
        ProbeCase{"list_gen2_application",
                  "gen2",
                  listCommand(),
                  0,
                  {"2", "application", "K2000001"},
                  nullptr},
        ProbeCase{"list_gen2_bootloader",
                  "gen2-bootloader",
                  listCommand(),
                  0,
                  {"2", "bootloader", "K2000001"},
                  nullptr},
        ProbeCase{"list_two_in_bus_order",
                  "gen2,gen3:serial=X1",
                  listCommand(),
                  0,
                  {"application", "K2000001", "emulated:1", "loader", "X1", "emulated:2"},
                  nullptr},
        ProbeCase{"list_other_vendor_only",
                  "device:vid=046d:pid=c52b",
                  listCommand(),
                  3,
                  {},
                  "No devices connected"},
        ProbeCase{"list_unknown_product",
                  "device:vid=131b:pid=0007",
                  listCommand(),
                  0,
                  {"?", "unknown"},
                  nullptr},
        ProbeCase{"info_gen3",
                  "gen3",
                  infoCommand(),
                  0,
                  {"K3000001 (generation 3, loader, emulated:1)", "Firmware:  1.3 - factory build"},
                  nullptr},
        ProbeCase{"info_gen3_version",
                  "gen3:version=2.10:desc=x",
                  infoCommand(),
                  0,
                  {"Firmware:  2.10 - x"},
                  nullptr},
        ProbeCase{"info_gen3_not_installed",
                  "gen3:installed=no",
                  infoCommand(),
                  0,
                  {"Firmware:  Not Installed"},
                  nullptr},
        ProbeCase{"info_gen2_application",
                  "gen2",
                  infoCommand(),
                  0,
                  {"Version:   1.5", "Variant:   Birch, Variable Speed and Adaptive"},
                  nullptr},
        ProbeCase{"info_gen2_variant",
                  "gen2:version=2.10:variant=cedar-max",
                  infoCommand(),
                  0,
                  {"Version:   2.10", "Variant:   Cedar, Maximum Speed"},
                  nullptr},
        ProbeCase{"info_gen2_bootloader",
                  "gen2-bootloader",
                  infoCommand(),
                  0,
                  {"(generation 2, bootloader", "Firmware:  bootloader running"},
                  nullptr},
        ProbeCase{"info_no_probe", "device", infoCommand(), 3, {}, "No devices connected"},
        ProbeCase{
            "info_two_probes", "gen2,gen3", infoCommand(), 3, {}, "Multiple devices connected"},
        ProbeCase{"info_serial_picks_gen2",
                  "gen3,gen2,gen3",
                  infoFor("K2000001"),
                  0,
                  {"K2000001", "Version:   1.5"},
                  nullptr},
        ProbeCase{"info_serial_picks_second_gen3",
                  "gen3,gen3:version=4.2:desc=two",
                  infoFor("K3000002"),
                  0,
                  {"K3000002", "4.2 - two"},
                  nullptr},
        ProbeCase{"info_serial_unknown",
                  "gen3,gen2",
                  infoFor("K9"),
                  3,
                  {},
                  "No device with serial number K9 connected"},
        ProbeCase{"info_serial_twice",
                  "gen3:serial=S,gen3:serial=S",
                  infoFor("S"),
                  3,
                  {},
                  "Multiple devices connected"},
        ProbeCase{"info_unknown_product",
                  "device:vid=131b:pid=0007",
                  infoCommand(),
                  1,
                  {},
                  "D0000001 (unknown product id 0007"},
        ProbeCase{"info_loader_wrong_tag",
                  "gen3:fault=info-tag",
                  infoCommand(),
                  1,
                  {},
                  "get loader info failed, unexpected tag returned"},
        ProbeCase{
            "info_loader_silent", "gen3:fault=info-silent", infoCommand(), 1, {}, "read timed out"},
        ProbeCase{
            "info_gen2_mute", "gen2:fault=mute", infoCommand(), 1, {}, "read operation timed out"},
        ProbeCase{
            "info_open_busy", "gen3:open=busy", infoCommand(), 1, {}, "device already in use"},
        ProbeCase{
            "info_open_fails", "gen2:open=fail", infoCommand(), 1, {}, "cannot open device driver"},
        ProbeCase{"info_open_denied",
                  "gen3:open=denied",
                  infoCommand(),
                  4,
                  {},
                  "cannot open device driver"},
        ProbeCase{"info_gen2_open_denied",
                  "gen2:open=denied",
                  infoCommand(),
                  4,
                  {},
                  "cannot open device driver"}),
    [](const ::testing::TestParamInfo<ProbeCase>& param) { return std::string(param.param.name); });

TEST(CliProbeSelection, PermissionDeniedHintsAtTheDoctorAndVerboseNamesTheUsbError) {
    CliRunner cli;
    cli.emulate(QStringLiteral("gen3:open=denied"));
    const CliRun run = cli.run({QStringLiteral("info"), QStringLiteral("--verbose")});
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_TRUE(run.err.contains(QStringLiteral("kvtool-cli doctor")));
    EXPECT_TRUE(run.err.contains(
        QStringLiteral("kvtool-cli: last USB error: libusb_open: LIBUSB_ERROR_ACCESS")))
        << run.err.toStdString();
}

TEST(CliProbeSelection, VerboseShowsTheFramesExchangedWithTheProbe) {
    CliRunner cli;
    cli.emulate(QStringLiteral("gen3"));
    const CliRun run = cli.run({QStringLiteral("info"), QStringLiteral("--verbose")});
    ASSERT_EQ(run.exitCode, 0) << ::testing::PrintToString(run);
    // The link's set-up, then get loader info (tag 0x08 and the command magic), then the reply.
    const QStringList expected{QStringLiteral("K3000001 opened (emulated:1)"),
                               QStringLiteral("K3000001 pipe reset: ok"),
                               QStringLiteral("K3000001 vendor request 9 value 1 index 1: ok"),
                               QStringLiteral("K3000001 out 5: 08 5a c3 17 9e"),
                               QStringLiteral("K3000001 in 64: 31 60 f7")};
    qsizetype from = 0;
    for (const QString& line : expected) {
        const qsizetype at = run.err.indexOf(line, from);
        EXPECT_GE(at, 0) << line.toStdString() << "\n" << run.err.toStdString();
        from = std::max(from, at);
    }
    // Without --verbose nothing of it is shown.
    EXPECT_TRUE(cli.run({QStringLiteral("info")}).err.isEmpty());
}

TEST(CliProbeSelection, AProbeOfNoKnownGenerationIsNamedInTheJsonResult) {
    CliRunner cli;
    cli.emulate(QStringLiteral("device:vid=131b:pid=0007"));
    const CliRun run = cli.run({QStringLiteral("info"), QStringLiteral("--json")});
    EXPECT_EQ(run.exitCode, 1);
    const QJsonObject result = run.result();
    EXPECT_TRUE(result.value(QStringLiteral("error"))
                    .toString()
                    .endsWith(QStringLiteral("is not a probe kvtool knows")))
        << run.out.toStdString();
    EXPECT_EQ(result.value(QStringLiteral("probe")).toObject().value(QStringLiteral("productId")),
              QStringLiteral("0007"));
}

// ---- Output that cannot be written ----------------------------------------------------

struct WriteErrorCase {
    const char* name;
    const char* emulate;
    // Run from the scratch directory (kv3.bin there) with $KVTOOL_CLI, its status written
    // to the file "status", its standard error to "err".
    const char* script;
    int exitCode;
    const char* error;  // the last line of standard error
    bool installs;      // the install went to its end all the same
};

void PrintTo(const WriteErrorCase& c, std::ostream* os) {
    *os << c.name;
}

class CliWriteError : public ::testing::TestWithParam<WriteErrorCase> {};

// As the core utilities do: a failed write to standard output is said on standard error
// and makes the status 1 (unless the command failed with a status of its own). A reader
// that went away only ends the output of an install, which goes on.
TEST_P(CliWriteError, FailsTheCommandAndSaysWhy) {
    const WriteErrorCase& c = GetParam();
    CliRunner cli;
    cli.emulate(QLatin1String(c.emulate));
    writeGen3TestImage(cli.directory(), QStringLiteral("kv3.bin"));
    cli.runShell(QLatin1String(c.script));
    const auto read = [&](const char* name) {
        QFile file(cli.path(QLatin1String(name)));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        return QString::fromUtf8(file.readAll());
    };
    EXPECT_EQ(read("status").trimmed().toInt(), c.exitCode) << read("err").toStdString();
    const QStringList err = read("err").split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(err.value(err.size() - 1), QLatin1String(c.error)) << read("err").toStdString();
    // The download's last command (disconnect, tag 0x02) went out, or nothing that writes.
    const QList<QByteArray> sent = cli.sent();
    EXPECT_EQ(std::ranges::any_of(sent,
                                  [](const QByteArray& frame) {
                                      return frame.size() == 5 && frame.front() == '\x02';
                                  }),
              c.installs);
}

constexpr char FULL[] = "kvtool-cli: write error: No space left on device";

INSTANTIATE_TEST_SUITE_P(
    Commands, CliWriteError,
    ::testing::Values(
        WriteErrorCase{"list_to_a_full_disk", "gen3",
                       "\"$KVTOOL_CLI\" list >/dev/full 2>err; echo $? >status", 1, FULL, false},
        WriteErrorCase{"info_as_json_to_a_full_disk", "gen3",
                       "\"$KVTOOL_CLI\" info --json >/dev/full 2>err; echo $? >status", 1, FULL,
                       false},
        WriteErrorCase{"image_to_a_full_disk", "gen3",
                       "\"$KVTOOL_CLI\" image kv3.bin >/dev/full 2>err; echo $? >status", 1, FULL,
                       false},
        WriteErrorCase{"help_of_a_command_to_a_full_disk", "",
                       "\"$KVTOOL_CLI\" help install >/dev/full 2>err; echo $? >status", 1, FULL,
                       false},
        WriteErrorCase{"a_failure_keeps_its_own_status", "gen3,gen3",
                       "\"$KVTOOL_CLI\" info --json >/dev/full 2>err; echo $? >status", 3, FULL,
                       false},
        WriteErrorCase{"list_to_a_reader_that_went_away", "gen3",
                       "{ sleep 0.5; \"$KVTOOL_CLI\" list 2>err; echo $? >status; } | true", 1,
                       "kvtool-cli: write error: Broken pipe", false},
        // The install goes on to its end, and ends with the status of its output.
        WriteErrorCase{"install_to_a_full_disk", "gen3",
                       "\"$KVTOOL_CLI\" install kv3.bin >/dev/full 2>err; echo $? >status", 1, FULL,
                       true},
        WriteErrorCase{"install_to_a_reader_that_went_away", "gen3",
                       "{ sleep 0.5; \"$KVTOOL_CLI\" install kv3.bin 2>err; echo $? >status; } "
                       "| true",
                       0, "", true}),
    [](const ::testing::TestParamInfo<WriteErrorCase>& param) {
        return std::string(param.param.name);
    });

}  // namespace
