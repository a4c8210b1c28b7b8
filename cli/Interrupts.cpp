#include "cli/Interrupts.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace {

// The pipe the handler writes into: [0] read by the event loop, [1] written by the handler.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    // Only what is safe in a signal handler: one write, whose outcome cannot be helped.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
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
        return;  // no interrupts then: Ctrl-C ends the process as usual
    }
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
            ++received;
            Q_EMIT interrupted(received);
        }
    });
    handle(SIGINT, onSignal);
    handle(SIGTERM, onSignal);
}

Interrupts::~Interrupts() {
    if (notifier == nullptr) {
        return;
    }
    handle(SIGINT, SIG_DFL);
    handle(SIGTERM, SIG_DFL);
    delete notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}
