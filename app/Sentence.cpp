#include "app/Sentence.h"

QString asSentence(const QString& text) {
    if (text.isEmpty()) {
        return text;
    }
    QString sentence = text;
    sentence[0] = sentence[0].toUpper();
    if (!sentence.endsWith(u'.')) {
        sentence += u'.';
    }
    return sentence;
}
