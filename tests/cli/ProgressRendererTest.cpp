// How an install's progress reports are shown: the live line on a terminal, the plain
// lines on a pipe, and where a failed phase is said to have stopped.

#include "app/Clock.h"
#include "cli/Console.h"
#include "cli/ProgressRenderer.h"

#include <QBuffer>

#include <gtest/gtest.h>

namespace {

class Rendering : public ::testing::Test {
protected:
    void SetUp() override {
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
    }
    QString output() const { return QString::fromUtf8(out.data()); }

    VirtualClock clock;
    ScopedClock useClock{clock};
    QBuffer out;
    QBuffer err;
};

// The live line as text GoogleTest can show.
std::string liveLine(const char* text, qint64 done, qint64 total, const char* units,
                     quint32 elapsedMs, int width = 0) {
    return ProgressRenderer::liveLine(QString::fromUtf8(text), done, total,
                                      QString::fromUtf8(units), elapsedMs, width)
        .toStdString();
}

TEST_F(Rendering, LiveLineShowsBarAmountsRateAndTimeLeft) {
    EXPECT_EQ(liveLine("Erasing", 8192, 32768, "bytes", 1000),
              "Erasing [######..................]  25%  8192/32768 bytes  8.0 KiB/s  0:03 left");
    // Finished: no time left; large amounts in KiB.
    EXPECT_EQ(liveLine("Verifying", 4 << 20, 4 << 20, "Bytes", 2000),
              "Verifying [########################] 100%  4096/4096 KiB  2.0 MiB/s");
    // Nothing done yet: no rate.
    EXPECT_EQ(liveLine("Erasing", 0, 100, "bytes", 0),
              "Erasing [........................]   0%  0/100 bytes");
    // Attempts of a wait come without units from the installer, and have no rate.
    EXPECT_EQ(liveLine("Waiting", 3, 60, "", 3000),
              "Waiting [#.......................]   5%  3/60 attempts");
    // The bootloader's own "Bytes" is shown as every other amount of bytes.
    EXPECT_EQ(liveLine("Programming", 3840, 7680, "Bytes", 0),
              "Programming [############............]  50%  3840/7680 bytes");
}

TEST_F(Rendering, LiveLineFitsTheTerminalGivingWayInOrder) {
    const char* text = "Downloading firmware, do not remove Korvane";
    // Wide enough: all of it.
    EXPECT_EQ(liveLine(text, 458752, 1048576, "bytes", 1500, 200),
              "Downloading firmware, do not remove Korvane [##########..............]  43%  "
              "448/1024 KiB  298.7 KiB/s  0:02 left");
    // 80 columns: the bar narrows and the text is cut; rate and time left stay, and the
    // line keeps off the last column.
    const std::string eighty = liveLine(text, 458752, 1048576, "bytes", 1500, 80);
    EXPECT_EQ(
        eighty,
        "Downloading firmware, \u2026 [####......]  43%  448/1024 KiB  298.7 KiB/s  0:02 left");
    EXPECT_EQ(QString::fromStdString(eighty).size(), 79);
    // Narrower: the time left and the rate go; narrower still, the line is cut.
    EXPECT_EQ(liveLine(text, 458752, 1048576, "bytes", 1500, 60),
              "Downloading firm\u2026 [####......]  43%  448/1024 KiB");
    EXPECT_EQ(QString::fromStdString(liveLine(text, 458752, 1048576, "bytes", 1500, 30)).size(),
              29);
}

TEST_F(Rendering, TerminalRedrawsOneLinePerPhaseInPlace) {
    Console console(out, err, true);
    ProgressRenderer progress(console, ProgressRenderer::Style::Live);
    progress.progress(0, 200, "Erasing", "bytes");
    clock.advance(1000);
    progress.progress(100, -1, nullptr, nullptr);
    progress.progress(200, -1, nullptr, nullptr);
    progress.progress(0, 200, "Writing", "bytes");
    progress.progress(200, -1, nullptr, nullptr);
    progress.finish(true);
    const QStringList lines = output().split(u'\n');
    ASSERT_EQ(lines.size(), 3) << output().toStdString();  // two phases, then nothing
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("\r\033[KErasing [")));
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("100%  200/200 bytes  0.2 KiB/s")))
        << lines[0].toStdString();
    EXPECT_EQ(lines[0].count(QStringLiteral("\r\033[K")), 3);
    EXPECT_TRUE(lines[1].contains(QStringLiteral("Writing [")));
    EXPECT_TRUE(lines[2].isEmpty());
}

TEST_F(Rendering, OtherOutputClearsTheLiveLineWhichComesBack) {
    Console console(out, err, true);
    ProgressRenderer progress(console, ProgressRenderer::Style::Live);
    progress.progress(0, 10, "Erasing", "bytes");
    console.error(QStringLiteral("a diagnostic"));
    progress.progress(5, -1, nullptr, nullptr);
    progress.finish(true);
    EXPECT_EQ(QString::fromUtf8(err.data()), u"a diagnostic\n");
    EXPECT_TRUE(output().contains(QStringLiteral("0/10 bytes\r\033[K\r\033[KErasing")))
        << output().toStdString();
    EXPECT_TRUE(output().endsWith(QStringLiteral("5/10 bytes\n")));
}

struct FailureCase {
    const char* name;
    QList<int> positions;  // after the phase's start
    bool stepReportedTotal;
    const char* plainEnd;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FailedPhase : public Rendering, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedPhase, IsShownWhereItStopped) {
    Console console(out, err, false);
    ProgressRenderer progress(console, ProgressRenderer::Style::Plain);
    progress.progress(0, 300, "Verifying", "bytes");
    for (const int position : GetParam().positions) {
        progress.progress(position, -1, nullptr, nullptr);
    }
    progress.finish(false, GetParam().stepReportedTotal);
    EXPECT_EQ(output().split(u'\n').value(1).section(QStringLiteral(" in "), 0, 0),
              QLatin1String(GetParam().plainEnd))
        << output().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Phases, FailedPhase,
    ::testing::Values(
        // A generation-3 step reports its total on the way out of a failed chunk.
        FailureCase{
            "step_reported_total", {0, 100, 300}, true, "Verifying: failed after 100 of 300 bytes"},
        FailureCase{"first_chunk_failed", {0, 300}, true, "Verifying: failed after 0 of 300 bytes"},
        // A generation-2 verify mismatch just stops.
        FailureCase{
            "stopped_midway", {0, 32, 64}, false, "Verifying: failed after 64 of 300 bytes"},
        // The phase finished; the failure came after it (a disconnect, say).
        FailureCase{"failed_after_the_phase", {0, 100, 300}, false, "Verifying: done, 300 bytes"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// The bootloader wait counts its attempts, which its reports leave without units.
TEST_F(Rendering, JsonEventsFollowEachReport) {
    Console console(out, err, false);
    ProgressRenderer progress(console, ProgressRenderer::Style::Json);
    progress.progress(0, 60, "Waiting for bootloader to start", nullptr);
    progress.progress(1, -1, nullptr, nullptr);
    progress.finish(true);
    EXPECT_EQ(
        output(),
        QStringLiteral(
            "{\"command\":\"install\",\"event\":\"phase\",\"schemaVersion\":1,\"text\":"
            "\"Waiting for "
            "bootloader to start\",\"total\":60,\"units\":\"attempts\"}\n"
            "{\"command\":\"install\",\"done\":0,\"event\":\"progress\",\"schemaVersion\":1,"
            "\"text\":\"Waiting for bootloader to start\",\"total\":60,\"units\":\"attempts\"}\n"
            "{\"command\":\"install\",\"done\":1,\"event\":\"progress\",\"schemaVersion\":1,"
            "\"text\":\"Waiting for bootloader to start\",\"total\":60,\"units\":\"attempts\"}\n"));
}

}  // namespace
