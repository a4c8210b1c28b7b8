#include "cli/SessionThread.h"

#include "cli/Console.h"
#include "cli/ExitCode.h"
#include "cli/Interrupts.h"
#include "probe/InstallSession.h"

#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>

SessionResult runSessionThread(const std::function<std::unique_ptr<InstallSession>()>& make,
                               const std::function<void(InstallSession&)>& follow, Console& console,
                               Interrupts& interrupts,
                               const std::function<void(ProbeState)>& abandoned) {
    // What the probe is left in, as the session's thread tells it: up to date the moment a
    // second Ctrl-C comes, whatever events still wait for this thread.
    std::atomic<ProbeState> state{ProbeState::Untouched};
    SessionResult result;
    std::exception_ptr escaped;
    const std::unique_ptr<QThread> worker(QThread::create([&] {
        try {
            const std::unique_ptr<InstallSession> session = make();
            QObject::connect(session.get(), &SessionEvents::probeStateChanged,
                             [&state](ProbeState now) { state = now; });
            follow(*session);
            result = session->run();
        } catch (...) {
            escaped = std::current_exception();
        }
    }));

    QEventLoop loop;
    // Queued behind every event the session sent before it ended.
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    QObject::connect(&interrupts, &Interrupts::terminated, &loop,
                     [&console](int signal) { console.error(Interrupts::waitingText(signal, 1)); });
    QObject::connect(&interrupts, &Interrupts::interrupted, &loop, [&](int count) {
        if (count == 1) {
            console.error(Interrupts::waitingText(SIGINT, 1));
            return;
        }
        abandoned(state.load());
        std::_Exit(exitStatus(ExitCode::Failed));
    });
    worker->start();
    loop.exec();
    worker->wait();
    if (escaped) {
        std::rethrow_exception(escaped);
    }
    return result;
}
