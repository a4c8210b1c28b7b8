// How long kvtool takes from its start to a window on screen, against a bare Qt main
// window built the same way (bench_bare_window), the two started one after the other in
// turns so that the machine's state weighs on both alike. kvtool runs against an emulated
// generation-3 probe, whose read is under way on the window's worker when the window shows.
//
// Run it on an X display, for example: xvfb-run -a build/release/bench/bench_startup [ROUNDS]
// Prints each program's median and the ratio; the goal is a ratio of at most 1.3.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Milliseconds from the start of `program` to the first window it maps, or -1.
qint64 timeToWindow(Display* display, const QString& program, const QStringList& environment) {
    QTemporaryDir runtime;  // each kvtool its own instance
    QProcess process;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    for (const QString& variable : environment) {
        variables.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    }
    variables.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    variables.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process.setProcessEnvironment(variables);
    XSync(display, True);  // forget what happened before
    QElapsedTimer clock;
    clock.start();
    process.start(program);
    qint64 shown = -1;
    while (shown < 0 && clock.elapsed() < 20000) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && shown < 0) {
                shown = clock.elapsed();
            }
        }
        QThread::usleep(200);
    }
    process.kill();
    process.waitForFinished();
    return shown;
}

qint64 median(std::vector<qint64> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 15;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "bench_startup: no X display (run it under xvfb-run)\n");
        return 2;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    std::vector<qint64> bare;
    std::vector<qint64> kvtool;
    for (int i = 0; i < rounds; ++i) {
        bare.push_back(timeToWindow(display, QStringLiteral(BARE_WINDOW_PATH), {}));
        kvtool.push_back(timeToWindow(display, QStringLiteral(KVTOOL_PATH),
                                      {QStringLiteral("KVTOOL_EMULATE=gen3")}));
    }
    XCloseDisplay(display);
    const qint64 bareMedian = median(bare);
    const qint64 kvtoolMedian = median(kvtool);
    std::printf(
        "start-up to a window, median of %d rounds: bare Qt window %lld ms, kvtool %lld ms, "
        "ratio %.2f (goal: at most 1.3)\n",
        rounds, static_cast<long long>(bareMedian), static_cast<long long>(kvtoolMedian),
        bareMedian > 0 ? double(kvtoolMedian) / double(bareMedian) : 0.0);
    return 0;
}
