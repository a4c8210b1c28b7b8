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
