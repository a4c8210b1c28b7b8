// kvtool-cli: the probe operations of kvtool for scripts, production lines and terminals.

#include "app/LocalFileName.h"
#include "cli/CliApplication.h"
#include "cli/Console.h"

#include <QCoreApplication>
#include <QFile>

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

int main(int argc, char** argv) {
    // A closed standard output (`| head -1`, a dropped SSH session) makes a write fail
    // instead of ending the process in the middle of an install; so does a --log file
    // beyond the file size limit, which is then reported as a lost record.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QFile out;
    QFile err;
    // Unbuffered: a live progress line shows at once, and the two streams keep their order.
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered,
             QFileDevice::DontCloseHandle);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered,
             QFileDevice::DontCloseHandle);
    Console console(out, err, ::isatty(STDOUT_FILENO) == 1);
    console.setWidthSource([] {
        winsize size{};
        return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? int(size.ws_col) : 0;
    });
    // The arguments as given, bytes that are not UTF-8 included (a file name may hold them),
    // rather than as Qt decodes them.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << fileNameFromLocal(argv[i]);
    }
    return CliApplication(console).run(arguments);
}
