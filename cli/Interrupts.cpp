#include "cli/Interrupts.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace {

constexpr std::array<int, 4> HANDLED{SIGINT, SIGHUP, SIGTERM, SIGQUIT};

// The pipe the handler writes into: [0] read by the event loop, [1] written by the handler.
int signalPipe[2] = {-1, -1};

void onSignal(int signal) {
    const int saved = errno;
    const char byte = char(signal);
    // Only what is safe in a signal handler: one write, whose outcome cannot be helped.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void handle(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

}  // namespace

Interrupts::Interrupts(QObject* parent) : QObject(parent) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;  // no interrupts then: the signals end the process as usual
    }
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        ssize_t n = 0;
        while ((n = ::read(signalPipe[0], bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (bytes[i] == SIGINT) {
                    Q_EMIT interrupted(++received);
                } else {
                    Q_EMIT terminated(bytes[i]);
                }
            }
        }
    });
    for (const int signal : HANDLED) {
        handle(signal, onSignal);
    }
}

Interrupts::~Interrupts() {
    if (notifier == nullptr) {
        return;
    }
    for (const int signal : HANDLED) {
        handle(signal, SIG_DFL);
    }
    delete notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

QString Interrupts::signalName(int signal) {
    switch (signal) {
        case SIGINT:
            return QStringLiteral("SIGINT");
        case SIGHUP:
            return QStringLiteral("SIGHUP");
        case SIGTERM:
            return QStringLiteral("SIGTERM");
        case SIGQUIT:
            return QStringLiteral("SIGQUIT");
        default:
            break;
    }
    return QStringLiteral("signal %1").arg(signal);
}

QString Interrupts::waitingText(int signal, int running) {
    const QString waiting =
        QStringLiteral("waiting for the %1 install(s) under way to end").arg(running);
    if (signal == SIGINT) {
        return QStringLiteral("kvtool-cli: %1; Ctrl-C again abandons them").arg(waiting);
    }
    return QStringLiteral("kvtool-cli: %1: %2; Ctrl-C twice abandons them")
        .arg(signalName(signal), waiting);
}

QString Interrupts::abandonedText(const QStringList& left) {
    return QStringLiteral("kvtool-cli: installs abandoned%1")
        .arg(left.isEmpty() ? QString()
                            : QStringLiteral("; left in their bootloader or with a partly "
                                             "written image (install on them again): %1")
                                  .arg(left.join(QStringLiteral(", "))));
}
