// Command lines that cannot be run: a one-line error, the usage hint, exit code 2, and
// nothing sent to any probe.

#include "CliRunner.h"

#include <gtest/gtest.h>

namespace {

struct UsageCase {
    const char* name;
    QStringList arguments;
    const char* error;  // the first line of standard error after "kvtool-cli: "
    // The command whose help the second line points to (null: the general help).
    const char* help = nullptr;
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

class CliUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, IsRefusedWithOneLineAndTheUsageHint) {
    const UsageCase& c = GetParam();
    CliRunner cli;
    cli.emulate(QStringLiteral("gen3,gen2"));
    const CliRun run = cli.run(c.arguments);
    EXPECT_EQ(run.exitCode, 2) << ::testing::PrintToString(run);
    const QString help = c.help != nullptr ? QStringLiteral("kvtool-cli %1 --help").arg(c.help)
                                           : QStringLiteral("kvtool-cli --help");
    EXPECT_EQ(run.errLines(),
              (QStringList{QStringLiteral("kvtool-cli: ") + QLatin1String(c.error),
                           QStringLiteral("Try '%1' for more information.").arg(help)}));
    EXPECT_TRUE(run.out.isEmpty()) << run.out.toStdString();
    EXPECT_TRUE(cli.frames().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, CliUsage,
    ::testing::Values(
        UsageCase{"no_command", {}, "no command given"},
        UsageCase{"unknown_command", args({"flash"}), "unknown command \"flash\""},
        UsageCase{"unknown_option", args({"list", "--frobnicate"}),
                  "unknown option \"--frobnicate\"", "list"},
        UsageCase{"unknown_short_option", args({"info", "-x"}), "unknown option \"-x\"", "info"},
        UsageCase{"unknown_option_before_the_command", args({"--frobnicate", "image", "a.bin"}),
                  "unknown option \"--frobnicate\"", "image"},
        UsageCase{"missing_value", args({"info", "--serial"}), "--serial needs a value", "info"},
        UsageCase{"value_of_a_flag", args({"install", "a.bin", "--dry-run=yes"}),
                  "--dry-run takes no value", "install"},
        UsageCase{"empty_serial", args({"info", "--serial", ""}),
                  "--serial: the serial number is empty", "info"},
        UsageCase{"option_of_another_command", args({"list", "--serial", "K3000001"}),
                  "--serial does not apply to list", "list"},
        UsageCase{"dry_run_on_info", args({"info", "--dry-run"}),
                  "--dry-run does not apply to info", "info"},
        UsageCase{"extra_argument", args({"info", "K3000001"}), "unexpected argument \"K3000001\"",
                  "info"},
        UsageCase{"image_without_file", args({"image"}), "image needs a FILE", "image"},
        UsageCase{"image_two_files", args({"image", "a.bin", "b.bin"}),
                  "unexpected argument \"b.bin\"", "image"},
        UsageCase{"install_without_file", args({"install"}),
                  "install needs a FILE, or --target and --clocking", "install"},
        UsageCase{"install_file_and_target",
                  args({"install", "a.bin", "--target", "alder", "--clocking", "max"}),
                  "give either FILE or --target and --clocking, not both", "install"},
        UsageCase{"target_without_clocking", args({"install", "--target", "alder"}),
                  "--target needs --clocking", "install"},
        UsageCase{"clocking_without_target", args({"install", "--clocking", "max"}),
                  "--clocking needs --target", "install"},
        UsageCase{"nonsense_target", args({"install", "--target", "oak", "--clocking", "max"}),
                  "--target: expected alder, birch or cedar, got \"oak\"", "install"},
        UsageCase{"nonsense_clocking", args({"install", "--target", "birch", "--clocking", "fast"}),
                  "--clocking: expected max or var, got \"fast\"", "install"},
        UsageCase{"firmware_dir_with_file", args({"install", "a.bin", "--firmware-dir", "fw"}),
                  "give either FILE or --target and --clocking, not both", "install"},
        UsageCase{"firmware_dir_alone", args({"install", "--firmware-dir", "fw"}),
                  "install needs a FILE, or --target and --clocking", "install"},
        UsageCase{"two_firmware_dirs_for_install",
                  args({"install", "--target", "alder", "--clocking", "max", "--firmware-dir", "a",
                        "--firmware-dir", "b"}),
                  "--firmware-dir: install takes one directory", "install"},
        UsageCase{"force_with_a_file", args({"install", "a.bin", "--force"}),
                  "--force: install takes it with --target and --clocking", "install"},
        UsageCase{"update_takes_no_file", args({"update", "kv3.bin"}),
                  "unexpected argument \"kv3.bin\"", "update"},
        UsageCase{"empty_file_name", args({"install", ""}), "the file name is empty", "install"},
        UsageCase{"help_of_an_unknown_command", args({"help", "flash"}),
                  "unknown command \"flash\""},
        UsageCase{"help_of_two_commands", args({"help", "list", "info"}),
                  "unexpected argument \"info\""}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

TEST(CliUsageJson, AUsageErrorIsAlsoAJsonResultThatNamesTheCommandTyped) {
    const struct {
        QStringList arguments;
        const char* command;
        const char* error;
        const char* hint;
    } cases[] = {
        {args({"install", "--json"}), "install", "install needs a FILE, or --target and --clocking",
         "kvtool-cli install --help"},
        // Found while reading the option values, after --json was seen.
        {args({"install", "--target", "oak", "--clocking", "max", "--json"}), "install",
         "--target: expected alder, birch or cedar, got \"oak\"", "kvtool-cli install --help"},
        // Found by the parser, before any command was read.
        {args({"--json", "install", "--frobnicate"}), "install", "unknown option \"--frobnicate\"",
         "kvtool-cli install --help"},
        {args({"flash", "--json"}), "flash", "unknown command \"flash\"", "kvtool-cli --help"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        CliRunner cli;
        const CliRun run = cli.run(c.arguments);
        EXPECT_EQ(run.exitCode, 2);
        const QJsonObject result = run.result();
        EXPECT_EQ(result.value(QStringLiteral("exitCode")).toInt(), 2);
        EXPECT_EQ(result.value(QStringLiteral("command")).toString(), QLatin1String(c.command));
        EXPECT_EQ(result.value(QStringLiteral("error")).toString(), QLatin1String(c.error));
        EXPECT_EQ(result.value(QStringLiteral("hint")).toString(), QLatin1String(c.hint));
    }
}

TEST(CliUsageJson, TargetAndClockingTakeAnyCase) {
    CliRunner cli;
    cli.emulate(QStringLiteral("gen2"));
    const CliRun run =
        cli.run({QStringLiteral("install"), QStringLiteral("--target"), QStringLiteral("Birch"),
                 QStringLiteral("--clocking"), QStringLiteral("VAR"),
                 QStringLiteral("--firmware-dir"), QStringLiteral("nowhere")});
    // Accepted as birch and var: the file it then looks for is missing.
    EXPECT_EQ(run.exitCode, 5);
    EXPECT_TRUE(
        run.err.startsWith(QStringLiteral("kvtool-cli: Cannot open nowhere/kv_birch_var.bin")))
        << run.err.toStdString();
}

}  // namespace
