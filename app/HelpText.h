#pragma once

#include <QString>

// The layout of the programs' --help texts: an entry's name on a line of its own, indented
// by two, and its description below, wrapped and indented by six.

// `text` wrapped at `width` characters, each line indented by `indent`.
QString wrappedText(const QString& text, int indent, int width = 79);
// "  name\n      description, wrapped\n".
QString helpEntry(const QString& name, const QString& description);
// The "Environment:" section that kvtool and kvtool-cli share, `program` named where it
// differs.
QString environmentHelp(const QString& program);
