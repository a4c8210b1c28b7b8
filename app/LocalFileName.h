#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// File names as the system keeps them (bytes) and as text, without loss: a name that is
// valid UTF-8 becomes its text; each byte that is not part of valid UTF-8 becomes the lone
// surrogate U+DC80 + byte, which localFileName() turns back into that byte. So a file
// whose name is not UTF-8, given on the command line, can still be opened (Qt's own
// decoding would replace such bytes for good).
QString fileNameFromLocal(QByteArrayView name);
QByteArray localFileName(const QString& name);
