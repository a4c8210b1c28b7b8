#include "app/HPath.h"

namespace {

#ifdef Q_OS_WIN
constexpr QChar NATIVE_SEPARATOR = u'\\';
constexpr QChar FOREIGN_SEPARATOR = u'/';
#else
constexpr QChar NATIVE_SEPARATOR = u'/';
constexpr QChar FOREIGN_SEPARATOR = u'\\';
#endif

bool isSeparator(QChar c) {
    return c == u'/' || c == u'\\';
}

}  // namespace

HPath::HPath() : d(new Data) {}

HPath::HPath(const QString& text) : d(new Data) {
    d->text = normalise(text);
}

HPath::HPath(const char* text) : HPath(QString::fromLocal8Bit(text)) {}

HPath::HPath(const HPath& other) = default;

// The shared pointer takes a reference on the new data before it drops the old one, so
// assigning a handle to itself is harmless.
HPath& HPath::operator=(const HPath& other) = default;

HPath::~HPath() = default;

QString HPath::nativePath() const {
    if (!d->native) {
        QString native = d->text;
        native.replace(FOREIGN_SEPARATOR, NATIVE_SEPARATOR);
        // One trailing separator goes, but the root directory keeps its only one.
        if (native.size() > 1 && native.endsWith(NATIVE_SEPARATOR)) {
            native.chop(1);
        }
        d->text = native;
        d->ascii = native.toLocal8Bit();
        d->native = true;
    }
    return d->text;
}

const char* HPath::nativePathAscii() const {
    nativePath();
    return d->ascii.constData();
}

QString HPath::text() const {
    return d->text;
}

int HPath::useCount() const {
    return d->ref.loadRelaxed();
}

// Walks the text once from the front. A '.' that follows a separator starts a "." or ".."
// component only when the component ends there (at a separator or at the end), so names
// that merely begin with a dot (".config", "..x") are kept. "/./" folds to "/"; "/x/../"
// folds to "/" unless x is the first component of a relative path, which stays as it is.
QString HPath::normalise(const QString& input) {
    QString t = input;
    qsizetype i = 0;
    for (;;) {
        const qsizetype dot = t.indexOf(u'.', i);
        if (dot < 0) {
            break;
        }
        if (dot == 0 || !isSeparator(t[dot - 1])) {
            i = dot + 1;
            continue;
        }
        const bool twoDots = dot + 1 < t.size() && t[dot + 1] == u'.';
        const qsizetype end = dot + (twoDots ? 2 : 1);
        if (end < t.size() && !isSeparator(t[end])) {
            i = dot + 1;  // a name that begins with a dot
            continue;
        }
        if (!twoDots) {
            t.remove(dot - 1, 2);  // the separator and the dot
            i = dot - 1;
            continue;
        }
        qsizetype j = dot - 3;
        while (j >= 0 && !isSeparator(t[j])) {
            --j;
        }
        if (j < 0) {
            i = dot + 1;  // nothing to fold with: the two dots stay
            continue;
        }
        t.remove(j, dot - j + 2);  // from the separator before the component through ".."
        i = j;
    }
    // Folding "/." or "/x/.." away entirely must not turn the root into the current
    // directory.
    if (t.isEmpty() && !input.isEmpty() && isSeparator(input[0])) {
        t = input.left(1);
    }
    return t;
}
