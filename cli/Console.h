#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

class QIODevice;

// Times are kept in milliseconds and shown in seconds.
inline constexpr double MS_PER_S = 1000.0;

// Where kvtool-cli writes: results and progress on standard output, failures and
// diagnostics on standard error. On a terminal, progress is a live block of lines (one for
// an install, one per probe for several) that is redrawn in place; anything else written
// meanwhile first clears it, and the next redraw brings it back, so the streams never run
// into each other.
//
// A stream that cannot be written to any more (a reader that went away, as `| head -1`,
// a terminal that hung up, a full disk) is written no more: what the command does goes on,
// and its result still reaches the exit status (and a --log file). Why standard output
// failed is kept, for the command to end as it should (CliApplication).
class Console {
public:
    // `out` and `err` must be open for writing, unbuffered (so that a live line shows at
    // once and the two streams keep their order), and outlive the console; `terminal` tells
    // whether `out` is an interactive terminal (live lines are drawn only there).
    Console(QIODevice& out, QIODevice& err, bool terminal);
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool terminal() const { return isTerminal; }
    // Whether standard output could not be written to and is written no more.
    bool outputGone() const { return outGone; }
    // The errno of the write that failed on standard output (EPIPE, ENOSPC, ...), or 0.
    int outputError() const { return outErrno; }
    // The terminal's width in columns, or 0 when unknown (asked anew each time: the
    // window may be resized while an install runs).
    int width() const { return widthOf ? widthOf() : 0; }
    void setWidthSource(std::function<int()> source) { widthOf = std::move(source); }

    // One line of text on standard output.
    void line(const QString& text);
    // One JSON object on standard output, on a line of its own.
    void json(const QJsonObject& object);
    // One line on standard error.
    void error(const QString& text);

    // Draws `text` as the live line (terminal only), replacing what it showed before.
    void live(const QString& text) { liveLines({text}); }
    // Draws `lines` as the live block (terminal only), replacing what it showed before.
    // Each line must fit the terminal's width, or the block cannot be redrawn in place.
    void liveLines(const QStringList& lines);
    // Ends the live block with a line break, so that it stays on screen.
    void endLive();

    // `rows` as lines of text, each column padded to its widest entry.
    static QStringList columns(const QList<QStringList>& rows);

private:
    // Clears the live block before other output; it is drawn again by the next live().
    void clearLive();
    // Back to the start of the live block's first line (which it erases below).
    QByteArray rewind() const;
    // Writes `bytes` whole on `stream`, unless it failed before; a failure marks it `gone`
    // and keeps its errno in `failure` (EIO where the device tells none).
    static void put(QIODevice& stream, bool& gone, const QByteArray& bytes, int* failure);
    void putOut(const QByteArray& bytes) { put(out, outGone, bytes, &outErrno); }

    QIODevice& out;
    QIODevice& err;
    bool isTerminal;
    std::function<int()> widthOf;
    QStringList liveText;    // the live block's current content, empty when none
    bool liveShown = false;  // whether it is on screen now
    bool outGone = false;
    int outErrno = 0;
    bool errGone = false;
};
