// A timed scenario: `kvtool-cli install IMAGE --all` of the largest image a probe holds
// on eight emulated generation-3 probes at once, in virtual time. The memory of the whole
// process tree (kvtool-cli and its session children) is sampled as proportional set size,
// so that the image, read once into shared memory, counts once. Each child also emulates
// its probe's flash, which it fills while installing: that is the probe's memory, not
// kvtool's, and is subtracted. Printed: the peak, the emulated flash, kvtool's share and
// the goal.
#include "gen3/ImageFile.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int RACK = 8;
constexpr qint64 MIB = 1024 * 1024;
constexpr qint64 IMAGE_BYTES = LARGEST_PROBE_IMAGE;
// kvtool's share of the peak: the image once, and for each probe's child its process
// (Qt Core, libusb, its buffers), as measured: about 2.5 MiB each.
constexpr qint64 GOAL_BYTES = IMAGE_BYTES + RACK * 4 * MIB;
constexpr int SAMPLE_MS = 10;

// The parent process of `pid`, from /proc/PID/stat (after the command name's parenthesis).
qint64 parentOf(const QString& pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() : -1;
}

// Proportional set size of `pid` in bytes; 0 when it is gone.
qint64 pssOf(qint64 pid) {
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!rollup.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : rollup.readAll().split('\n')) {
        if (line.startsWith("Pss:")) {
            return line.mid(4).trimmed().split(' ').first().toLongLong() * 1024;
        }
    }
    return 0;
}

// The summed PSS of `root` and its descendants now.
qint64 treePss(qint64 root) {
    QHash<qint64, qint64> parents;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number) {
            parents.insert(pid, parentOf(entry));
        }
    }
    qint64 total = 0;
    for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
        for (qint64 at = it.key(); at > 1; at = parents.value(at, -1)) {
            if (at == root) {
                total += pssOf(it.key());
                break;
            }
        }
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QTemporaryDir directory;
    const QString image = directory.filePath(QStringLiteral("kv3.bin"));
    Gen3ImageRecipe recipe;
    recipe.versionMajor = 1;
    recipe.versionMinor = 4;
    recipe.description = QStringLiteral("memory bench");
    recipe.size = IMAGE_BYTES;
    writeGen3Image(image, generateGen3Image(recipe));

    QStringList devices;
    for (int i = 0; i < RACK; ++i) {
        devices << QStringLiteral("gen3:memory=%1M").arg(IMAGE_BYTES / MIB);
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KVTOOL_EMULATE"), devices.join(u','));
    environment.insert(QStringLiteral("KVTOOL_CLOCK"), QStringLiteral("virtual"));
    environment.insert(QStringLiteral("KVTOOL_LOCK_DIR"), directory.path());
    QProcess cli;
    cli.setProcessEnvironment(environment);
    cli.start(QStringLiteral(KVTOOL_CLI_PATH), {QStringLiteral("install"), image,
                                                QStringLiteral("--all"), QStringLiteral("--json")});
    if (!cli.waitForStarted()) {
        std::printf("kvtool-cli did not start\n");
        return 1;
    }
    qint64 peak = 0;
    while (!cli.waitForFinished(SAMPLE_MS)) {
        peak = std::max(peak, treePss(cli.processId()));
    }
    const QList<QByteArray> lines = cli.readAllStandardOutput().trimmed().split('\n');
    const QJsonArray results =
        QJsonDocument::fromJson(lines.last()).object().value(QLatin1String("probes")).toArray();
    const auto installed = std::count_if(results.begin(), results.end(), [](const auto& probe) {
        return probe.toObject().value(QLatin1String("result")).toString() == u"installed";
    });
    if (cli.exitCode() != 0 || installed != RACK) {
        std::printf("the install failed (%lld of %d installed)\n%s", qint64(installed), RACK,
                    cli.readAllStandardError().constData());
        return 1;
    }
    const qint64 flash = RACK * IMAGE_BYTES;
    const qint64 own = peak - flash;
    std::printf(
        "%d probes, %lld MiB image each: peak %lld MiB, of it %lld MiB the emulated "
        "probes' flash; kvtool %lld MiB (goal <= %lld MiB: %s)\n",
        RACK, IMAGE_BYTES / MIB, peak / MIB, flash / MIB, own / MIB, GOAL_BYTES / MIB,
        own <= GOAL_BYTES ? "met" : "MISSED");
    return own <= GOAL_BYTES ? 0 : 1;
}
