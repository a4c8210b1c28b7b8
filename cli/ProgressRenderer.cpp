#include "cli/ProgressRenderer.h"

#include "app/Clock.h"
#include "cli/Console.h"
#include "cli/JsonOutput.h"
#include "probe/SessionEvents.h"

#include <cmath>

namespace {

constexpr int BAR_WIDTH = 24;
constexpr int MIN_BAR_WIDTH = 10;
constexpr int MIN_TEXT_WIDTH = 16;
constexpr double KIB = 1024.0;
// From this many bytes on, amounts are shown in KiB (a live line has little room).
constexpr qint64 LARGE_AMOUNT = qint64(100) * 1024;

bool isBytes(const QString& units) {
    return units.compare(QLatin1String("bytes"), Qt::CaseInsensitive) == 0;
}

bool counts(const QString& units) {
    return !units.isEmpty();
}

QString rateText(double perSecond, const QString& units) {
    if (isBytes(units)) {
        return perSecond >= KIB * KIB
                   ? QStringLiteral("%1 MiB/s").arg(perSecond / (KIB * KIB), 0, 'f', 1)
                   : QStringLiteral("%1 KiB/s").arg(perSecond / KIB, 0, 'f', 1);
    }
    return QStringLiteral("%1/s").arg(perSecond, 0, 'f', 1);
}

QString durationText(double seconds) {
    const auto whole = qint64(std::ceil(seconds));
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

QString unitsOf(const char* units) {
    return units != nullptr ? QString::fromLatin1(units) : QString();
}

}  // namespace

ProgressRenderer::ProgressRenderer(Console& console, Style style, QObject* parent)
    : QObject(parent), console(console), style(style) {}

void ProgressRenderer::follow(SessionEvents& events) {
    connect(&events, &SessionEvents::phaseStarted, this,
            [this](InstallPhase, qint64 steps, const QString& text, const QString& newUnits) {
                startPhase(steps, text, newUnits);
            });
    // A phase's first report (0) follows its start, as with the engine's own reports.
    connect(&events, &SessionEvents::progressed, this, &ProgressRenderer::advance);
}

QString ProgressRenderer::liveLine(const QString& text, qint64 done, qint64 total,
                                   const QString& units, quint32 elapsedMs, int width,
                                   const QString& suffix) {
    const double fraction = total > 0 ? std::clamp(double(done) / double(total), 0.0, 1.0) : 1.0;
    QString amounts = QStringLiteral("  %1/%2").arg(done).arg(total);
    if (isBytes(units) && total >= LARGE_AMOUNT) {
        amounts = QStringLiteral("  %1/%2 KiB").arg(done / 1024).arg(total / 1024);
    } else {
        amounts += u' ' + unitWord(units);
    }
    QString rate;
    QString left;
    // Attempts of a wait have no meaningful rate; quantities do, once time has passed.
    if (!units.isEmpty() && elapsedMs > 0 && done > 0) {
        const double perSecond = double(done) * MS_PER_S / elapsedMs;
        rate = QStringLiteral("  ") + rateText(perSecond, units);
        if (done < total) {
            left = QStringLiteral("  %1 left").arg(durationText(double(total - done) / perSecond));
        }
    }
    QString head = text;
    int barWidth = BAR_WIDTH;
    const auto compose = [&]() -> QString {
        const int filled = int(fraction * barWidth);
        return head +
               QStringLiteral(" [%1%2] %3%")
                   .arg(QString(filled, u'#'), QString(barWidth - filled, u'.'))
                   .arg(int(fraction * 100), 3) +
               amounts + rate + left + suffix;
    };
    QString line = compose();
    if (width <= 0) {
        return line;
    }
    // A line that reached the last column would wrap, and the next redraw would start a new
    // line: it has to fit in width - 1 columns. Give way in this order: the bar narrows,
    // the phase text is cut short, the time left and the rate go, and at last the line
    // itself is cut.
    const qsizetype room = width - 1;
    const qsizetype excess = line.size() - room;
    if (excess > 0) {
        barWidth = int(std::max<qsizetype>(MIN_BAR_WIDTH, BAR_WIDTH - excess));
        line = compose();
    }
    if (line.size() > room && head.size() > MIN_TEXT_WIDTH) {
        const qsizetype keep =
            std::max<qsizetype>(MIN_TEXT_WIDTH, head.size() - (line.size() - room) - 1);
        head = head.left(keep) + QChar(0x2026);  // …
        line = compose();
    }
    if (line.size() > room) {
        left.clear();
        rate.clear();
        line = compose();
    }
    return line.left(room);
}

QString ProgressRenderer::unitWord(const QString& units) {
    if (isBytes(units)) {
        return QStringLiteral("bytes");
    }
    return counts(units) ? units.toLower() : QStringLiteral("attempts");
}

std::optional<qint64> ProgressRenderer::stoppedAt(qint64 done, qint64 doneBefore, qint64 total,
                                                  bool stepReportedTotal) {
    if (done < total) {
        return done;
    }
    return stepReportedTotal ? std::optional<qint64>(doneBefore) : std::nullopt;
}

QString ProgressRenderer::startLine(const QString& text, qint64 total, const QString& units) {
    return QStringLiteral("%1: %2 %3").arg(text).arg(total).arg(unitWord(units));
}

QString ProgressRenderer::endLine(const QString& text, bool success, qint64 reached, qint64 total,
                                  const QString& units, quint32 elapsedMs) {
    if (!success) {
        return QStringLiteral("%1: failed after %2 of %3 %4")
            .arg(text)
            .arg(reached)
            .arg(total)
            .arg(unitWord(units));
    }
    // Attempts that were not all needed are no amount done.
    const QString amount =
        counts(units) ? QStringLiteral(", %1 %2").arg(reached).arg(unitWord(units)) : QString();
    return QStringLiteral("%1: done%2 in %3 s")
        .arg(text, amount)
        .arg(elapsedMs / MS_PER_S, 0, 'f', 1);
}

QJsonObject ProgressRenderer::phaseEvent(const QString& kind) const {
    QJsonObject event = merged(jsonObject(QStringLiteral("install")), eventFields);
    event.insert(QStringLiteral("event"), kind);
    event.insert(QStringLiteral("text"), text);
    event.insert(QStringLiteral("total"), total);
    event.insert(QStringLiteral("units"), unitWord(units));
    return event;
}

void ProgressRenderer::progress(int step, int steps, const char* taskdesc, const char* units) {
    if (steps >= 0) {
        startPhase(steps, taskdesc != nullptr ? QString::fromLatin1(taskdesc) : QString(),
                   unitsOf(units));
    }
    advance(step);
}

void ProgressRenderer::startPhase(qint64 steps, const QString& taskdesc, const QString& newUnits) {
    if (open) {
        endPhase(true, done);
    }
    open = true;
    if (!taskdesc.isNull()) {
        text = taskdesc;
    }
    units = newUnits;
    total = steps;
    done = 0;
    doneBefore = 0;
    startMs = tickCountMs();
    endMs = startMs;
    switch (style) {
        case Style::Json:
            console.json(phaseEvent(QStringLiteral("phase")));
            break;
        case Style::Plain:
            console.line(startLine(text, total, units));
            break;
        case Style::Live:
            break;  // drawn by the first advance()
    }
}

void ProgressRenderer::advance(qint64 step) {
    if (!open) {
        return;  // a report outside any phase has nothing to move
    }
    doneBefore = done;
    done = step;
    endMs = tickCountMs();
    switch (style) {
        case Style::Json:
            console.json(
                merged(phaseEvent(QStringLiteral("progress")), {{QStringLiteral("done"), done}}));
            break;
        case Style::Live:
            console.live(liveLine(text, done, total, units, endMs - startMs, console.width()));
            break;
        case Style::Plain:
            break;  // one line at the start and one at the end
    }
}

void ProgressRenderer::endPhase(bool success, qint64 reached) {
    open = false;
    const quint32 elapsed = endMs - startMs;
    switch (style) {
        case Style::Json:
            break;  // the events said it all; the result says how it ended
        case Style::Live:
            if (!success) {
                console.live(liveLine(text, reached, total, units, elapsed, console.width(),
                                      QStringLiteral("  failed")));
            }
            console.endLive();
            break;
        case Style::Plain:
            console.line(endLine(text, success, reached, total, units, elapsed));
            break;
    }
}

void ProgressRenderer::finish(bool success, bool stepReportedTotal) {
    if (!open) {
        return;
    }
    const std::optional<qint64> stopped =
        success ? std::nullopt : stoppedAt(done, doneBefore, total, stepReportedTotal);
    endPhase(!stopped, stopped.value_or(done));
}
