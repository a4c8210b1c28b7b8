#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QtGlobal>

#include <optional>

class Console;
class SessionEvents;

// Shows the progress reports of an install as they arrive. The reports follow the one
// convention of the installers: (0, total, text, units) starts a phase, (done, -1, null,
// null) moves it on, and it ends when done reaches the total. A failing step reports its
// total as well before it throws, so a phase that reached its total is shown as finished
// only once the next phase starts or the install ends well; finish(false) shows it as
// failed where it really stopped.
//
//   Live   (a terminal)  one line per phase, redrawn in place: text, bar, done / total,
//                        rate and time left
//   Plain  (a pipe)      a line when a phase starts and one when it ends
//   Json                 one object per report: {"event": "phase"} or {"event":
//                        "progress"}, with the text, done, total and units
class ProgressRenderer : public QObject {
    Q_OBJECT

public:
    enum class Style { Live, Plain, Json };

    ProgressRenderer(Console& console, Style style, QObject* parent = nullptr);

    // Shows the phases of `events` (an install session's) as they come.
    void follow(SessionEvents& events);
    // Keys added to every JSON event (the probe's serial and port, the command's name).
    void setEventFields(const QJsonObject& fields) { eventFields = fields; }

    // Ends the current phase. After a failure it is shown as failed where it stopped: at its
    // last position when it had not reached its total; when it had, at the position before
    // that last report if `stepReportedTotal` (the failing step reported its total on its way
    // out), else it is shown as finished (the failure came after it).
    void finish(bool success, bool stepReportedTotal = false);

    // The live line for a phase (exposed for tests): text, a 24-character bar, done /
    // total with the units, the rate and the time left once they can be told, then
    // `suffix`. With a `width` above 0 the line is made to fit a terminal of that many
    // columns.
    static QString liveLine(const QString& text, qint64 done, qint64 total, const QString& units,
                            quint32 elapsedMs, int width = 0, const QString& suffix = QString());

    // The one word for a phase's measure, whatever the installer wrote ("Bytes" is the
    // bootloader's own text): "bytes", or "attempts" for a measure without units (the
    // bootloader wait), else the units in lower case.
    static QString unitWord(const QString& units);
    // The lines of a phase on a pipe: "Programming: 7680 bytes" where it starts;
    // "Programming: done, 7680 bytes in 2.8 s" ("Waiting ...: done in 3.0 s" for attempts),
    // or "Waiting ...: failed after 59 of 60 attempts", where it ends.
    static QString startLine(const QString& text, qint64 total, const QString& units);
    // Where a phase that was under way when its install failed really stopped (see
    // finish()), from its last position `done`, the one before it and its total; nothing
    // when it had finished and the failure came after it.
    static std::optional<qint64> stoppedAt(qint64 done, qint64 doneBefore, qint64 total,
                                           bool stepReportedTotal);
    static QString endLine(const QString& text, bool success, qint64 reached, qint64 total,
                           const QString& units, quint32 elapsedMs);

public Q_SLOTS:
    void progress(int step, int steps, const char* taskdesc, const char* units);

private:
    // A null `taskdesc` keeps the text of the phase before.
    void startPhase(qint64 steps, const QString& taskdesc, const QString& newUnits);
    void advance(qint64 step);
    void endPhase(bool success, qint64 reached);
    // The JSON event `kind` ("phase", "progress") of the phase under way.
    QJsonObject phaseEvent(const QString& kind) const;

    Console& console;
    Style style;
    bool open = false;  // a phase has started and not been ended
    QString text;
    QString units;
    qint64 total = 0;
    qint64 done = 0;
    qint64 doneBefore = 0;  // the position before the last report
    quint32 startMs = 0;
    quint32 endMs = 0;
    QJsonObject eventFields;
};
