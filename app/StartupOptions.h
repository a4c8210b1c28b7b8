#pragma once

#include <QString>
#include <QStringList>

// kvtool's command line, read before anything else: before the single-instance hand-over
// (an option is never handed to a running window as its firmware directory) and before the
// application object connects to a display, so that --help and --version answer on a
// terminal without one. Qt's own options (-platform NAME, -style NAME, ...) are accepted
// here and left to the application object.
struct StartupOptions {
    enum class Action {
        Run,      // start (or hand over to the running window)
        Help,     // print the help and exit
        Version,  // print the version and exit
        Usage     // the command line is wrong: say why and exit with status 2
    };
    Action action = Action::Run;
    // The optional argument: the directory of the generation-2 images (null when none was
    // given; a second argument is ignored).
    QString firmwareDirectory;
    QString error;  // for Usage: what is wrong, in one line

    // Reads `arguments`, the program name first.
    static StartupOptions parse(const QStringList& arguments);
};

// The text of kvtool --help: usage, the argument, options, environment and exit status.
QString startupHelpText();
// "kvtool 1.0.0".
QString startupVersionText();

// Answers an action other than Run on the terminal (the help or the version on standard
// output, a usage error on standard error) and returns the exit status: 0, 2 for a usage
// error, or 1 when standard output could not be written (said on standard error).
int answerOnTerminal(const StartupOptions& options);
