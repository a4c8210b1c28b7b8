#include "cli/Console.h"

#include <QIODevice>
#include <QJsonDocument>

namespace {

// Carriage return, then erase to the end of the line (VT100, understood by every
// terminal emulator in use).
constexpr char REDRAW[] = "\r\033[K";

}  // namespace

Console::Console(QIODevice& out, QIODevice& err, bool terminal)
    : out(out), err(err), isTerminal(terminal) {}

void Console::write(QIODevice& device, const QByteArray& bytes) {
    device.write(bytes);
}

void Console::clearLive() {
    if (liveShown) {
        write(out, REDRAW);
        liveShown = false;
    }
}

void Console::line(const QString& text) {
    clearLive();
    write(out, (text + u'\n').toUtf8());
}

void Console::json(const QJsonObject& object) {
    clearLive();
    write(out, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

void Console::error(const QString& text) {
    clearLive();
    write(err, (text + u'\n').toUtf8());
}

void Console::live(const QString& text) {
    if (!isTerminal) {
        return;
    }
    liveText = text;
    write(out, REDRAW + text.toUtf8());
    liveShown = true;
}

void Console::endLive() {
    if (liveText.isEmpty()) {
        return;
    }
    if (!liveShown) {
        write(out, REDRAW + liveText.toUtf8());
    }
    write(out, "\n");
    liveText.clear();
    liveShown = false;
}
