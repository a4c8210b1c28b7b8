#include "app/HelpText.h"

#include <QStringList>

namespace {

constexpr int NAME_INDENT = 2;
constexpr int TEXT_INDENT = 6;

}  // namespace

QString wrappedText(const QString& text, int indent, int width) {
    QStringList lines;
    QString line;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > width) {
            lines << line;
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    lines << line;
    const QString pad(indent, u' ');
    return pad + lines.join(u'\n' + pad);
}

QString helpEntry(const QString& name, const QString& description) {
    return QString(NAME_INDENT, u' ') + name + u'\n' + wrappedText(description, TEXT_INDENT) +
           u'\n';
}

QString environmentHelp(const QString& program) {
    return QStringLiteral("\nEnvironment:\n") +
           helpEntry(QStringLiteral("KVTOOL_EMULATE"),
                     QStringLiteral("Use emulated probes instead of the USB bus, for example "
                                    "gen3, gen2 or gen2,gen3; @FILE reads the list from FILE "
                                    "whenever it changes (see kvtool(1)).")) +
           helpEntry(QStringLiteral("KVTOOL_CLOCK=virtual"),
                     QStringLiteral("With KVTOOL_EMULATE: every wait passes at once.")) +
           helpEntry(QStringLiteral("KVTOOL_EMULATE_LOG"),
                     QStringLiteral("With KVTOOL_EMULATE: the file to which the emulated "
                                    "probes' frames are appended when %1 exits.")
                         .arg(program)) +
           helpEntry(QStringLiteral("KVTOOL_LOCK_DIR"),
                     QStringLiteral("Directory of the probes' lock files (default /run/lock), "
                                    "which keep a second installer off a probe that one "
                                    "installs on."));
}
