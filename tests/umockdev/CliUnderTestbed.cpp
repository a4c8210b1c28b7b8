#include "CliUnderTestbed.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <grp.h>
#include <unistd.h>

namespace {

constexpr int TICK_MS = 10;
constexpr int RUN_TIMEOUT_MS = 120000;
constexpr uid_t NOBODY = 65534;

}  // namespace

CliOutcome runCliUnderTestbed(const QStringList& arguments, const std::function<void()>& meanwhile,
                              bool unprivileged) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"KVTOOL_EMULATE", "KVTOOL_EMULATE_LOG", "KVTOOL_CLOCK"}) {
        environment.remove(QLatin1String(name));
    }
    QProcess cli;
    cli.setProcessEnvironment(environment);
    if (unprivileged && ::geteuid() == 0) {
        cli.setChildProcessModifier([] {
            // Between fork and exec: only async-signal-safe calls. A failure ends the child.
            if (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) {
                ::_exit(127);
            }
        });
    }
    cli.start(QStringLiteral(KVTOOL_CLI_PATH), arguments);
    QElapsedTimer clock;
    clock.start();
    while (!cli.waitForFinished(TICK_MS) && cli.state() != QProcess::NotRunning) {
        if (meanwhile) {
            meanwhile();
        }
        if (clock.elapsed() > RUN_TIMEOUT_MS) {
            ADD_FAILURE() << "kvtool-cli did not finish: " << arguments.join(u' ').toStdString();
            cli.kill();
            cli.waitForFinished();
        }
    }
    CliOutcome outcome;
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit) << "kvtool-cli crashed";
    outcome.exitCode = cli.exitCode();
    outcome.out = cli.readAllStandardOutput();
    outcome.err = QString::fromUtf8(cli.readAllStandardError());
    return outcome;
}
