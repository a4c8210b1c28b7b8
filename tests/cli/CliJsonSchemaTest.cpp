// The --json output of every command, checked key by key against the schema documented in
// the README (section "Command line", "JSON output"): every documented key is present with
// its type, and no other key appears.

#include "CliImages.h"
#include "CliRunner.h"
#include "JsonSchema.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace schema;

namespace {

struct JsonCase {
    const char* name;
    const char* emulate;
    QStringList arguments;
    int exitCode;
    Schema result;                   // of the last object (install: per event instead)
    const char* arrayKey = nullptr;  // a key holding an array of objects
    Schema arrayItem = {};
    bool several = false;  // on several probes: each event names its probe
};

void PrintTo(const JsonCase& c, std::ostream* os) {
    *os << c.name;
}

class CliJsonSchema : public ::testing::TestWithParam<JsonCase> {
protected:
    void SetUp() override {
        writeGen3TestImage(cli.directory(), QStringLiteral("kv3.bin"));
        // Newer than what an emulated generation-3 probe runs: list and info name it.
        writeGen3TestImage(cli.systemFirmware(), QStringLiteral("kv3.bin"));
        writeGen2TestImages(cli.path(QStringLiteral("fw")));
        writeFile(cli.directory(), QStringLiteral("text.bin"), "no firmware here\n");
    }
    CliRunner cli;
};

TEST_P(CliJsonSchema, EveryLineMatchesTheDocumentedSchema) {
    const JsonCase& c = GetParam();
    cli.emulate(QLatin1String(c.emulate));
    const CliRun run = cli.run(c.arguments + QStringList{QStringLiteral("--json")});
    EXPECT_EQ(run.exitCode, c.exitCode) << ::testing::PrintToString(run);
    const QList<QJsonObject> objects = run.json();
    ASSERT_FALSE(objects.isEmpty());
    for (qsizetype i = 0; i < objects.size(); ++i) {
        const QJsonObject& object = objects[i];
        const QString where = QStringLiteral("line %1").arg(i + 1);
        EXPECT_EQ(object.value(QStringLiteral("schemaVersion")).toInt(), 1);
        const QString event = object.value(QStringLiteral("event")).toString();
        if (i + 1 == objects.size()) {
            expectSchema(object, c.result, where);
            EXPECT_EQ(object.value(QStringLiteral("exitCode")).toInt(), c.exitCode);
            EXPECT_EQ(object.value(QStringLiteral("ok")).toBool(), c.exitCode == 0);
        } else if (const Schema perProbe = c.several ? PER_PROBE() : Schema(); event == u"start") {
            expectSchema(object, START() + perProbe, where);
        } else if (event == u"phase") {
            expectSchema(object, PHASE() + perProbe, where);
        } else if (event == u"progress") {
            expectSchema(object, PROGRESS() + perProbe, where);
        } else if (event == u"message") {
            expectSchema(object, MESSAGE() + perProbe, where);
        } else if (event == u"probeResult" && c.several) {
            expectSchema(object,
                         COMMON() + Schema{{"event", Str}, {"plan", Obj | Null}} + PROBE_RESULT(),
                         where);
        } else {
            ADD_FAILURE() << where.toStdString() << ": unknown event " << event.toStdString();
        }
        expectNested(object, where);
        if (c.arrayKey != nullptr) {
            for (const auto& item : object.value(QLatin1String(c.arrayKey)).toArray()) {
                expectSchema(item.toObject(), c.arrayItem, where + QStringLiteral(" item"));
                expectNested(item.toObject(), where + QStringLiteral(" item"));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliJsonSchema,
    ::testing::Values(
        JsonCase{"list", "gen2,gen3,gen2-bootloader", args({"list"}), 0,
                 RESULT() + Schema{{"probes", Arr}}, "probes",
                 PROBE() + Schema{{"newerImage", Obj | Null}}},
        JsonCase{"list_none", "device", args({"list"}), 3, RESULT() + Schema{{"probes", Arr}}},
        JsonCase{"info_gen3", "gen3", args({"info"}), 0,
                 RESULT() + Schema{{"probe", Obj}, {"firmware", Obj}, {"newerImage", Obj | Null}}},
        JsonCase{"info_gen3_not_installed", "gen3:installed=no", args({"info"}), 0,
                 RESULT() + Schema{{"probe", Obj}, {"firmware", Obj}, {"newerImage", Obj | Null}}},
        JsonCase{"info_gen2", "gen2", args({"info"}), 0,
                 RESULT() + Schema{{"probe", Obj}, {"firmware", Obj}, {"newerImage", Obj | Null}}},
        JsonCase{"info_gen2_bootloader", "gen2-bootloader", args({"info"}), 0,
                 RESULT() + Schema{{"probe", Obj}, {"firmware", Obj}, {"newerImage", Obj | Null}}},
        JsonCase{"info_failed", "gen3:fault=info-tag", args({"info"}), 1,
                 RESULT() + Schema{{"probe", Obj}}},
        JsonCase{"info_no_probe", "device", args({"info"}), 3, RESULT()},
        JsonCase{"image_gen3", "", args({"image", "kv3.bin"}), 0,
                 RESULT() + Schema{{"image", Obj}}},
        JsonCase{"image_gen2", "", args({"image", "fw/kv_birch_var.bin"}), 0,
                 RESULT() + Schema{{"image", Obj}}},
        JsonCase{"image_none", "", args({"image", "text.bin"}), 5,
                 RESULT() + Schema{{"image", Obj}}},
        JsonCase{"image_missing", "", args({"image", "missing.bin"}), 5, RESULT()},
        JsonCase{"install_gen3", "gen3", args({"install", "kv3.bin"}), 0, INSTALL_RESULT()},
        JsonCase{"install_gen3_dry_run", "gen3", args({"install", "kv3.bin", "--dry-run"}), 0,
                 INSTALL_RESULT()},
        JsonCase{"install_gen3_failed", "gen3:fault=crc-mismatch", args({"install", "kv3.bin"}), 1,
                 INSTALL_RESULT()},
        JsonCase{"install_gen2", "gen2", args({"install", "fw/kv_cedar_max.bin"}), 0,
                 INSTALL_RESULT()},
        JsonCase{"install_gen2_dry_run", "gen2",
                 args({"install", "--target", "alder", "--clocking", "var", "--firmware-dir", "fw",
                       "--dry-run"}),
                 0, INSTALL_RESULT()},
        JsonCase{"install_wrong_generation", "gen2", args({"install", "kv3.bin"}), 5,
                 INSTALL_RESULT()},
        JsonCase{"install_bad_file", "gen2", args({"install", "text.bin"}), 5, INSTALL_RESULT()},
        JsonCase{"install_all", "gen3,gen3:fault=crc-mismatch,gen2",
                 args({"install", "kv3.bin", "--all"}), 1,
                 INSTALL_RESULT() + Schema{{"probes", Arr}}, "probes", PROBE_RESULT(), true},
        JsonCase{"install_all_dry_run", "gen2,gen2",
                 args({"install", "fw/kv_cedar_max.bin", "--all", "--dry-run"}), 0,
                 INSTALL_RESULT() + Schema{{"probes", Arr}}, "probes", PROBE_RESULT(), true},
        JsonCase{"watch", "gen3,gen3", args({"watch", "kv3.bin", "--count", "2"}), 0,
                 INSTALL_RESULT() + Schema{{"probes", Arr}}, "probes", PROBE_RESULT(), true},
        JsonCase{"update", "gen3,gen2,gen3:version=1.4:desc=cli test",
                 args({"update", "--firmware-dir", "fw", "--all"}), 0,
                 INSTALL_RESULT() + Schema{{"probes", Arr}}, "probes", PROBE_RESULT(), true},
        JsonCase{"update_failed", "gen2-bootloader", args({"update"}), 5,
                 INSTALL_RESULT() + Schema{{"probes", Arr}}, "probes", PROBE_RESULT(), true},
        JsonCase{"usage_error", "", args({"install", "--target", "oak"}), 2, RESULT()}),
    [](const ::testing::TestParamInfo<JsonCase>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Every line of --log, whichever command wrote it (one probe, several, watch, update, a
// probe refused before its session ran), against the documented schema.
TEST(CliRecords, EveryLineMatchesTheDocumentedSchema) {
    CliRunner cli;
    writeGen3TestImage(cli.directory(), QStringLiteral("kv3.bin"));
    writeGen3TestImage(cli.systemFirmware(), QStringLiteral("kv3.bin"), GEN3_IMAGE_SIZE, 1, 5);
    const struct {
        const char* emulate;
        QStringList arguments;
        int records;
    } runs[] = {{"gen3", args({"install", "kv3.bin"}), 1},
                {"gen3,gen3:fault=crc-mismatch", args({"install", "kv3.bin", "--all"}), 2},
                {"gen3", args({"install", "kv3.bin", "--serial", "K3000001", "--serial", "X"}), 2},
                {"gen3,gen3:version=1.5:desc=x", args({"update", "--all"}), 2},
                {"gen3", args({"watch", "kv3.bin", "--count", "1"}), 1}};
    const QString log = cli.path(QStringLiteral("records.jsonl"));
    int expected = 0;
    for (const auto& run : runs) {
        cli.emulate(QLatin1String(run.emulate));
        cli.run(run.arguments + QStringList{QStringLiteral("--log"), log});
        expected += run.records;
    }
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), expected);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QJsonObject record = QJsonDocument::fromJson(lines[i]).object();
        const QString where = QStringLiteral("record %1").arg(i + 1);
        expectSchema(record, RECORD(), where);
        expectNested(record, where);
        // A session that installed or chose an image names it and how long each phase took.
        const QString result = record[QStringLiteral("result")].toString();
        if (result == u"installed" || result == u"upToDate") {
            EXPECT_EQ(record[QStringLiteral("sha256")].toString().size(), 64)
                << where.toStdString();
        }
        if (result == u"installed") {
            EXPECT_FALSE(record[QStringLiteral("phases")].toArray().isEmpty())
                << where.toStdString();
        }
    }
}

}  // namespace
