// Signals as events of kvtool-cli's event loop: every delivery is told, in order.
#include "cli/Interrupts.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <csignal>

namespace {

TEST(Interrupts, EveryDeliveryCountsEvenWhenTheLoopReadsThemTogether) {
    Interrupts interrupts;
    QList<int> interrupted;
    QList<int> terminated;
    QObject::connect(&interrupts, &Interrupts::interrupted,
                     [&interrupted](int count) { interrupted << count; });
    QObject::connect(&interrupts, &Interrupts::terminated,
                     [&terminated](int signal) { terminated << signal; });
    // Each is handled before raise() returns, so all four wait in the pipe for one read.
    for (const int signal : {SIGINT, SIGHUP, SIGINT, SIGTERM, SIGQUIT}) {
        ASSERT_EQ(::raise(signal), 0);
    }
    const QDeadlineTimer deadline(5000);
    while (interrupted.size() + terminated.size() < 5 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_EQ(interrupted, (QList<int>{1, 2}));
    EXPECT_EQ(terminated, (QList<int>{SIGHUP, SIGTERM, SIGQUIT}));
}

}  // namespace
