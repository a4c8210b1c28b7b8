#include "app/CommandLineScan.h"

namespace {

struct Word {
    bool option = false;  // starts with a dash, and is not "-" alone
    QString typed;        // as typed, without "=value": "--serial", "-x"
    QString name;         // without its dashes
    bool hasValue = false;
};

Word wordOf(const QString& argument) {
    Word word;
    if (!argument.startsWith(u'-') || argument.size() < 2) {
        return word;
    }
    word.option = true;
    const qsizetype equals = argument.indexOf(u'=');
    word.typed = equals < 0 ? argument : argument.left(equals);
    word.name = word.typed.mid(word.typed.startsWith(QStringLiteral("--")) ? 2 : 1);
    word.hasValue = equals >= 0;
    return word;
}

}  // namespace

const QCommandLineOption* CommandLineScan::find(const QString& name) const {
    for (const QCommandLineOption& option : options) {
        if (option.names().contains(name)) {
            return &option;
        }
    }
    return nullptr;
}

QString CommandLineScan::problem(const QString& fallback) const {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == u"--") {
            break;
        }
        const Word word = wordOf(arguments[i]);
        if (!word.option) {
            continue;
        }
        const QCommandLineOption* option = find(word.name);
        if (option == nullptr) {
            return QStringLiteral("unknown option \"%1\"").arg(word.typed);
        }
        const bool takesValue = !option->valueName().isEmpty();
        if (takesValue && !word.hasValue) {
            if (i + 1 >= arguments.size()) {
                return QStringLiteral("%1 needs a value").arg(word.typed);
            }
            ++i;  // its value, whatever it looks like
        } else if (!takesValue && word.hasValue) {
            return QStringLiteral("%1 takes no value").arg(word.typed);
        }
    }
    return fallback;
}

QString CommandLineScan::firstOperand() const {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == u"--") {
            return arguments.value(i + 1);
        }
        const Word word = wordOf(arguments[i]);
        if (!word.option) {
            return arguments[i];
        }
        const QCommandLineOption* option = find(word.name);
        if (option != nullptr && !option->valueName().isEmpty() && !word.hasValue) {
            ++i;
        }
    }
    return QString();
}
