// kvtool-cli update against emulated probes of both generations: the newest image of the
// firmware folders that fits each probe, among older, newer, same-version and other-variant
// images; a probe that is up to date (or for which no image can be chosen) is sent nothing
// but the read of its version.
#include "CliImages.h"
#include "CliRunner.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <map>

namespace {

// An image in the --firmware-dir folder "fw": generation 3 (`flags` 0) with a description,
// or generation 2 of the variant `flags`.
struct Image {
    const char* name;
    int major;
    int minor;
    quint16 flags = 0;
    const char* description = "new";
};

// What became of a probe: "installed VERSION" (what it runs afterwards), "upToDate",
// "planned", or the start of the message it failed with.
using Outcomes = std::map<QString, QString>;

struct UpdateCase {
    const char* name;
    const char* emulate;
    QList<Image> images;
    QStringList arguments;  // besides update --firmware-dir fw --json
    Outcomes outcomes;
    int exitCode;
    // When not -1: the probes were sent nothing but this many reads of what they run.
    int reads = -1;
};

void PrintTo(const UpdateCase& c, std::ostream* os) {
    *os << c.name;
}

constexpr quint16 BIRCH_VAR = 0x0A;  // the emulated generation-2 probe's variant
constexpr quint16 ALDER_MAX = 0x01;
const QByteArray GET_LOADER_INFO = QByteArray::fromHex("085ac3179e");
constexpr int READ_INFO = 0x84;

const QList<Image> GENERATION3{{"old.bin", 1, 2}, {"kv3.bin", 1, 5}, {"notes.txt", 0, 0}};
const QList<Image> GENERATION2{{"kv_birch_var.bin", 2, 20, BIRCH_VAR},
                               {"other.bin", 2, 30, ALDER_MAX},
                               {"older.bin", 2, 10, BIRCH_VAR}};

class CliUpdate : public ::testing::TestWithParam<UpdateCase> {
protected:
    CliRunner cli;
};

TEST_P(CliUpdate, InstallsTheNewestImageThatFitsEachProbe) {
    const UpdateCase& c = GetParam();
    const QString folder = cli.path(QStringLiteral("fw"));
    for (const Image& image : c.images) {
        if (image.major == 0) {
            writeFile(cli.directory(), QStringLiteral("fw/") + QLatin1String(image.name),
                      "not an image\n");
        } else if (image.flags == 0) {
            writeGen3TestImage(folder, QLatin1String(image.name), GEN3_IMAGE_SIZE, image.major,
                               image.minor, QLatin1String(image.description));
        } else {
            writeGen2VersionImage(folder, QLatin1String(image.name), image.major, image.minor,
                                  image.flags);
        }
    }
    cli.emulate(QLatin1String(c.emulate));
    const CliRun run =
        cli.run(QStringList{QStringLiteral("update"), QStringLiteral("--firmware-dir"), folder,
                            QStringLiteral("--json")} +
                c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << ::testing::PrintToString(run);

    std::map<QString, QJsonObject> probes;
    for (const QJsonValue& probe : run.result()[QStringLiteral("probes")].toArray()) {
        probes[probe[QStringLiteral("serial")].toString()] = probe.toObject();
    }
    ASSERT_EQ(probes.size(), c.outcomes.size()) << ::testing::PrintToString(run);
    // The image each probe's session chose, as its start event tells it.
    std::map<QString, QString> started;
    for (const QJsonObject& event : run.json()) {
        if (event[QStringLiteral("event")].toString() == u"start") {
            started[event[QStringLiteral("serial")].toString()] =
                event[QStringLiteral("image")][QStringLiteral("sha256")].toString();
        }
    }
    for (const auto& [serial, expected] : c.outcomes) {
        SCOPED_TRACE(serial.toStdString());
        const QJsonObject probe = probes.at(serial);
        const QString result = probe[QStringLiteral("result")].toString();
        if (expected.startsWith(u"installed ")) {
            EXPECT_EQ(result, QStringLiteral("installed"));
            EXPECT_EQ(probe[QStringLiteral("after")][QStringLiteral("versionText")].toString(),
                      expected.mid(10));
            EXPECT_EQ(probe[QStringLiteral("sha256")].toString(), started[serial]);
        } else if (expected == u"upToDate" || expected == u"planned") {
            EXPECT_EQ(result, expected);
            EXPECT_TRUE(probe[QStringLiteral("ok")].toBool());
        } else {
            EXPECT_EQ(result, QStringLiteral("failed"));
            EXPECT_TRUE(probe[QStringLiteral("error")].toString().startsWith(expected))
                << probe[QStringLiteral("error")].toString().toStdString();
        }
    }
    if (c.reads >= 0) {
        const QList<QByteArray> sent = cli.sent();
        EXPECT_EQ(sent.size(), c.reads);
        for (const QByteArray& frame : sent) {
            EXPECT_TRUE(frame == GET_LOADER_INFO || quint8(frame.front()) == READ_INFO)
                << frame.toHex().toStdString();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, CliUpdate,
    ::testing::Values(
        UpdateCase{"generation3_older_and_newer",
                   "gen3",
                   GENERATION3,
                   {},
                   {{"K3000001", "installed 1.5 - new"}},
                   0},
        UpdateCase{"generation3_up_to_date",
                   "gen3:version=1.5:desc=new",
                   GENERATION3,
                   {},
                   {{"K3000001", "upToDate"}},
                   0,
                   1},
        UpdateCase{"generation3_runs_a_newer_one",
                   "gen3:version=1.9:desc=x",
                   GENERATION3,
                   {},
                   {{"K3000001", "upToDate"}},
                   0,
                   1},
        UpdateCase{"generation3_same_version_different_contents",
                   "gen3",
                   {{"a.bin", 1, 5, 0, "a"}, {"b.bin", 1, 5, 0, "b"}, {"old.bin", 1, 4}},
                   {},
                   {{"K3000001", "ambiguous: "}},
                   5,
                   1},
        // One content twice is one image; a loader without an image takes it.
        UpdateCase{"generation3_same_image_twice",
                   "gen3:installed=no",
                   {{"kv3.bin", 1, 5}, {"copy.bin", 1, 5}},
                   {},
                   {{"K3000001", "installed 1.5 - new"}},
                   0},
        UpdateCase{"generation3_dry_run",
                   "gen3",
                   GENERATION3,
                   {"--dry-run"},
                   {{"K3000001", "planned"}},
                   0,
                   1},
        // The newest of the probe's own variant, not the newer one of another variant.
        UpdateCase{"generation2_of_its_variant",
                   "gen2",
                   GENERATION2,
                   {},
                   {{"K2000001", "installed 2.20"}},
                   0},
        UpdateCase{"generation2_up_to_date",
                   "gen2:version=2.20:variant=birch-var",
                   GENERATION2,
                   {},
                   {{"K2000001", "upToDate"}},
                   0,
                   1},
        UpdateCase{"generation2_bootloader_needs_a_variant",
                   "gen2-bootloader",
                   GENERATION2,
                   {},
                   {{"K2000001", "the probe runs no application firmware"}},
                   5,
                   1},
        UpdateCase{"generation2_bootloader_variant_given",
                   "gen2-bootloader",
                   GENERATION2,
                   {"--target", "alder", "--clocking", "max"},
                   {{"K2000001", "installed 2.30"}},
                   0},
        UpdateCase{"no_image_for_a_generation",
                   "gen2",
                   GENERATION3,
                   {},
                   {{"K2000001", "no image in the firmware folders fits a generation-2 probe"}},
                   5,
                   1},
        UpdateCase{"both_generations_at_once",
                   "gen3,gen2,gen3:version=1.5:desc=new",
                   GENERATION3 + GENERATION2,
                   {"--all"},
                   {{"K3000001", "installed 1.5 - new"},
                    {"K2000001", "installed 2.20"},
                    {"K3000002", "upToDate"}},
                   0},
        // --target and --clocking choose for generation 2 alone.
        UpdateCase{"variant_given_on_both_generations",
                   "gen2-bootloader,gen3",
                   GENERATION3 + GENERATION2,
                   {"--all", "--target", "alder", "--clocking", "max"},
                   {{"K2000001", "installed 2.30"}, {"K3000001", "installed 1.5 - new"}},
                   0},
        UpdateCase{"probes_named",
                   "gen3,gen3:version=1.5:desc=new,gen3",
                   GENERATION3,
                   {"--serial", "K3000002", "--serial", "K3000009"},
                   {{"K3000002", "upToDate"},
                    {"K3000009", "No device with serial number K3000009 connected"}},
                   3,
                   1}),
    [](const auto& info) { return std::string(info.param.name); });

// No image for a probe: the hint names the folders looked in; --verbose names what was
// passed over, and why.
TEST(CliUpdateFolders, SayWhereTheyLookedAndWhatTheyPassedOver) {
    CliRunner cli;
    writeFile(cli.directory(), QStringLiteral("fw/notes.txt"), "not an image\n");
    cli.emulate(QStringLiteral("gen3"));
    const CliRun run = cli.run(args({"update", "--firmware-dir", "fw", "--verbose"}));
    EXPECT_EQ(run.exitCode, 5) << ::testing::PrintToString(run);
    EXPECT_TRUE(run.err.contains(QStringLiteral("passed over fw/notes.txt: not a firmware image")))
        << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("hint: the firmware folders are, in order: fw, ") +
                                 cli.path(QStringLiteral("home-share/kvtool/firmware, ")) +
                                 cli.systemFirmware()))
        << run.err.toStdString();
}

}  // namespace
