#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

// A second look at a command line that QCommandLineParser reads with single-dash words
// taken as long options ("-platform" as "--platform"), given the options it was told of:
// where the parser's own messages differ in style from the programs' own, the programs
// say what is wrong in their words, and they can name the command typed even when the
// line cannot be parsed.
class CommandLineScan {
public:
    CommandLineScan(const QStringList& arguments, const QList<QCommandLineOption>& options)
        : arguments(arguments), options(options) {}

    // What is wrong with the arguments, in one line: `unknown option "--colour"`,
    // `--serial needs a value`, `--json takes no value`; `fallback` (the parser's own
    // text) for anything else.
    QString problem(const QString& fallback) const;
    // The first argument that is no option and no option's value (the command of
    // kvtool-cli), or a null text when there is none.
    QString firstOperand() const;

private:
    // The option of that name, or null.
    const QCommandLineOption* find(const QString& name) const;

    QStringList arguments;
    QList<QCommandLineOption> options;
};
