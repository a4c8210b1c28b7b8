#include "emu/ReplyTiming.h"

#include "emu/EmulatorSetup.h"

#include <optional>

namespace {

constexpr QLatin1String LATENCY("latency");
constexpr QLatin1String LATE("late");
constexpr QLatin1String JITTER("jitter");
constexpr QLatin1String SEED("seed");
constexpr QLatin1String PACE("pace");
// Longer than any session: the tick compares signed.
constexpr qint64 MAX_DELAY_MS = 0x3FFFFFFF;
// A count of replies past every N of late=MS@N: no reply is late until a restart.
constexpr int NOT_STARTED = 0x3FFFFFFF;

}  // namespace

QStringList ReplyTiming::keys() {
    return {LATENCY, LATE, JITTER, SEED, PACE};
}

QString ReplyTiming::parse(const QMap<QString, QString>& options, ReplyTiming& timing) {
    ReplyTiming parsed = timing;
    if (!readOptionNumber(options, LATENCY, MAX_DELAY_MS, parsed.latencyMs))
        return QStringLiteral("latency \"%1\" is not a time in milliseconds")
            .arg(options.value(LATENCY));
    if (options.contains(LATE)) {
        const QString text = options.value(LATE);
        const qsizetype at = text.indexOf(u'@');
        const auto value = optionNumber(text.left(at), MAX_DELAY_MS);
        const auto reply =
            at < 0 ? std::optional<qint64>(1) : optionNumber(text.mid(at + 1), 1000000);
        if (!value || !reply || *reply < 1)
            return QStringLiteral("late \"%1\" is not MS or MS@N").arg(text);
        parsed.lateMs = quint32(*value);
        parsed.lateReply = int(*reply);
    }
    if (options.contains(JITTER)) {
        const QStringList range = options.value(JITTER).split(u'-');
        const qint64 low =
            range.size() == 2 ? optionNumber(range[0], MAX_DELAY_MS).value_or(-1) : -1;
        const qint64 high =
            range.size() == 2 ? optionNumber(range[1], MAX_DELAY_MS).value_or(-1) : -1;
        if (low < 0 || high < low)
            return QStringLiteral("jitter \"%1\" is not MIN-MAX in milliseconds")
                .arg(options.value(JITTER));
        parsed.jitterMinMs = quint32(low);
        parsed.jitterMaxMs = quint32(high);
    }
    if (!readOptionNumber(options, SEED, 0xFFFFFFFF, parsed.seed))
        return QStringLiteral("seed \"%1\" is not a number").arg(options.value(SEED));
    if (options.contains(PACE)) {
        const QString pace = options.value(PACE).toLower();
        if (pace != u"overlap" && pace != u"serial")
            return QStringLiteral("pace \"%1\" is not overlap or serial").arg(pace);
        parsed.serial = pace == u"serial";
    }
    timing = parsed;
    return QString();
}

ReplyDelays::ReplyDelays(const ReplyTiming& timing, bool started)
    : timing(timing), random(timing.seed), sinceStart(started ? 0 : NOT_STARTED) {}

quint32 ReplyDelays::next() {
    if (sinceStart < NOT_STARTED)
        ++sinceStart;
    quint32 delay = timing.latencyMs;
    if (sinceStart == timing.lateReply)
        delay += timing.lateMs;
    if (timing.jitterMaxMs > 0) {
        std::uniform_int_distribution<quint32> jitter(timing.jitterMinMs, timing.jitterMaxMs);
        delay += jitter(random);
    }
    return delay;
}

quint32 ReplyDelays::readyAt(quint32 nowMs, quint32 workMs,
                             std::optional<quint32> previousReadyMs) {
    const auto later = [](quint32 a, quint32 b) { return static_cast<qint32>(a - b) > 0; };
    quint32 from = nowMs;
    if (timing.serial && previousReadyMs && later(*previousReadyMs, from))
        from = *previousReadyMs;
    const quint32 ready = from + workMs + next();
    return previousReadyMs && later(*previousReadyMs, ready) ? *previousReadyMs : ready;
}
