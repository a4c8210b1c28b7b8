#pragma once

#include <QByteArray>
#include <QExplicitlySharedDataPointer>
#include <QSharedData>
#include <QString>

// A value handle onto shared, reference-counted path data. Copies share the data; the
// text is normalised when the data is created ("." and ".." components folded away),
// and the conversion to the native form happens once, in the shared data, so that every
// handle sharing it sees the native form from then on.
class HPath {
public:
    HPath();
    HPath(const QString& text);  // NOLINT(google-explicit-constructor): a path is a text
    HPath(const char* text);     // NOLINT(google-explicit-constructor)
    HPath(const HPath& other);
    HPath& operator=(const HPath& other);
    ~HPath();

    // The path in the platform's native form: every separator turned into the native
    // one and one trailing separator removed. Converts the shared data in place.
    QString nativePath() const;
    // The native form as 8-bit text (the local encoding); the characters belong to the
    // shared data and stay valid while it lives and is not converted again.
    const char* nativePathAscii() const;
    // The current text, normalised, and native once nativePath() has run.
    QString text() const;
    // Number of handles sharing this path's data.
    int useCount() const;

    // "." and ".." clean-up, with '/' and '\' both counting as separators.
    static QString normalise(const QString& input);

private:
    struct Data : QSharedData {
        QString text;
        bool native = false;
        QByteArray ascii;
    };
    QExplicitlySharedDataPointer<Data> d;
};
