// A timed scenario: `kvtool-cli install IMAGE --all` on one emulated probe, then on eight,
// for each generation, in real time with the emulated probes' own timing (USB transfers,
// erase and program times, a generation-2 probe's restarts). The installs run side by side,
// so eight should take about as long as one; printed: the median wall time of each and
// their ratio, against the goal of at most 1.25.
#include "gen2/KV2ImageLayout.h"
#include "tools/gen2/KV2ImageGenerator.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int RUNS = 3;
constexpr int RACK = 8;
constexpr double GOAL = 1.25;
constexpr int GEN3_IMAGE_BYTES = 200 * 1024;

// The wall time of one `install IMAGE --all` on `probes` probes of `kind`, in ms; -1 when
// not every probe was installed.
qint64 installAll(const QString& image, const char* kind, int probes) {
    QStringList devices;
    for (int i = 0; i < probes; ++i) {
        devices << QLatin1String(kind);
    }
    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KVTOOL_EMULATE"), devices.join(u','));
    environment.remove(QStringLiteral("KVTOOL_CLOCK"));
    cli.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    cli.start(QStringLiteral(KVTOOL_CLI_PATH), {QStringLiteral("install"), image,
                                                QStringLiteral("--all"), QStringLiteral("--json")});
    if (!cli.waitForFinished(120000) || cli.exitCode() != 0) {
        std::fprintf(stderr, "%s", cli.readAllStandardError().constData());
        return -1;
    }
    const qint64 ms = clock.elapsed();
    const QList<QByteArray> lines = cli.readAllStandardOutput().trimmed().split('\n');
    const QJsonArray results =
        QJsonDocument::fromJson(lines.last()).object().value(QLatin1String("probes")).toArray();
    const auto installed = std::count_if(results.begin(), results.end(), [](const auto& probe) {
        return probe.toObject().value(QLatin1String("result")).toString() == u"installed";
    });
    return installed == probes ? ms : -1;
}

qint64 median(const QString& image, const char* kind, int probes) {
    std::vector<qint64> times;
    for (int run = 0; run < RUNS; ++run) {
        const qint64 ms = installAll(image, kind, probes);
        if (ms < 0) {
            return -1;
        }
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    return times[RUNS / 2];
}

// Prints one generation's figures; false when an install failed or the goal was missed.
bool compare(const char* generation, const QString& image, const char* kind) {
    const qint64 one = median(image, kind, 1);
    const qint64 eight = one < 0 ? -1 : median(image, kind, RACK);
    if (eight < 0) {
        std::printf("%s: an install failed\n", generation);
        return false;
    }
    const double ratio = double(eight) / double(one);
    std::printf("%s: 1 probe %lld ms, %d probes %lld ms, ratio %.2f (goal <= %.2f: %s)\n",
                generation, static_cast<long long>(one), RACK, static_cast<long long>(eight), ratio,
                GOAL, ratio <= GOAL ? "met" : "MISSED");
    return ratio <= GOAL;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QTemporaryDir directory;
    // The emulated probes' install locks apart from those of the probes of this host.
    if (qEnvironmentVariableIsEmpty("KVTOOL_LOCK_DIR")) {
        qputenv("KVTOOL_LOCK_DIR", QFile::encodeName(directory.path()));
    }
    const QString gen3 = directory.filePath(QStringLiteral("kv3.bin"));
    Gen3ImageRecipe recipe;
    recipe.versionMajor = 1;
    recipe.versionMinor = 4;
    recipe.description = QStringLiteral("rack bench");
    recipe.size = GEN3_IMAGE_BYTES;
    writeGen3Image(gen3, generateGen3Image(recipe));
    const QString gen2 = directory.filePath(QStringLiteral("kv_alder_max.bin"));
    KV2ImageSpec spec = demoImageSpec(kv2::TargetFamily::Alder, kv2::JtagClocking::MaximumSpeed);
    spec.size = kv2::MAX_IMAGE_SIZE;
    writeKV2ImageFile(gen2, generateKV2Image(spec));

    std::printf("median of %d runs each, real time\n", RUNS);
    const bool generation3 = compare("generation 3, 200 KiB image", gen3, "gen3");
    const bool generation2 = compare("generation 2, 13311-byte image", gen2, "gen2");
    return generation3 && generation2 ? 0 : 1;
}
