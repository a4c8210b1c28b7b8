#include "cli/Console.h"

#include "app/WriteAll.h"

#include <QFileDevice>
#include <QIODevice>
#include <QJsonDocument>

#include <cerrno>

namespace {

// Carriage return, then erase to the end of the line, or, for a block of several lines, to
// the end of the screen (VT100, understood by every terminal emulator in use).
constexpr char REDRAW[] = "\r\033[K";
constexpr char REDRAW_BLOCK[] = "\r\033[J";

}  // namespace

Console::Console(QIODevice& out, QIODevice& err, bool terminal)
    : out(out), err(err), isTerminal(terminal) {}

void Console::put(QIODevice& stream, bool& gone, const QByteArray& bytes, int* failure) {
    if (gone) {
        return;
    }
    // A file descriptor is written directly, so that the reason of a failure is known.
    const auto* file = qobject_cast<const QFileDevice*>(&stream);
    int error = 0;
    if (file != nullptr && file->handle() >= 0) {
        error = writeAll(file->handle(), bytes);
    } else if (stream.write(bytes) != bytes.size()) {
        error = EIO;
    }
    if (error != 0) {
        gone = true;
        if (failure != nullptr) {
            *failure = error;
        }
    }
}

QByteArray Console::rewind() const {
    if (liveShown && liveText.size() > 1) {
        // Cursor up to the block's first line.
        return "\033[" + QByteArray::number(liveText.size() - 1) + 'A' + REDRAW_BLOCK;
    }
    return REDRAW;
}

void Console::clearLive() {
    if (liveShown) {
        putOut(rewind());
        liveShown = false;
    }
}

void Console::line(const QString& text) {
    clearLive();
    putOut((text + u'\n').toUtf8());
}

void Console::json(const QJsonObject& object) {
    clearLive();
    putOut(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

void Console::error(const QString& text) {
    clearLive();
    put(err, errGone, (text + u'\n').toUtf8(), nullptr);
}

void Console::liveLines(const QStringList& lines) {
    if (!isTerminal) {
        return;
    }
    const QByteArray start = rewind();
    liveText = lines;
    putOut(start + lines.join(u'\n').toUtf8());
    liveShown = true;
}

void Console::endLive() {
    if (liveText.isEmpty()) {
        return;
    }
    if (!liveShown) {
        putOut(REDRAW + liveText.join(u'\n').toUtf8());
    }
    putOut("\n");
    liveText.clear();
    liveShown = false;
}

QStringList Console::columns(const QList<QStringList>& rows) {
    QList<qsizetype> widths;
    for (const QStringList& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) {
                widths << 0;
            }
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    QStringList lines;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        }
        lines << line;
    }
    return lines;
}
