#pragma once

#include <QString>

// A copy of `text` as a sentence: unless it is empty, the first character upper-cased and
// a full stop appended when the text does not already end with one.
QString asSentence(const QString& text);
