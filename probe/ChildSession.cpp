#include "probe/ChildSession.h"

#include "app/HException.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace {

// How long a child takes to end, at most, once it told its result or was killed.
constexpr int CHILD_EXIT_MS = 5000;

}  // namespace

ChildSession::ChildSession(const sessionwire::Request& request,
                           std::shared_ptr<const ImageBytes> image, QObject* parent)
    : SessionEvents(parent), request(request), image(std::move(image)) {
    connect(this, &SessionEvents::probeStateChanged, this, [this](ProbeState now) { state = now; });
    // Whichever way the result came (from the child, or made here when it had none).
    connect(this, &SessionEvents::finished, this, [this] { ended = true; });
    connect(this, &SessionEvents::started, this,
            [this](const InstalledFirmware& firmware) { before = firmware; });
    connect(&process, &QProcess::readyReadStandardOutput, this, &ChildSession::readEvents);
    connect(&process, &QProcess::readyReadStandardError, this, &ChildSession::readTrace);
    connect(&process, &QProcess::finished, this, &ChildSession::childEnded);
    connect(&process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            SessionResult result;
            result.failure = {FailureKind::Failed,
                              QStringLiteral("cannot start %1").arg(process.program()), QString()};
            end(result);
        }
    });
}

ChildSession::~ChildSession() {
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    // A child that told its result is on its way out (its trace, the emulator's frame log,
    // its exit): it ends on its own. Any other is ended here.
    if (!ended || !process.waitForFinished(CHILD_EXIT_MS)) {
        process.kill();
        process.waitForFinished(CHILD_EXIT_MS);
    }
}

void ChildSession::start(const QString& program) {
    process.setProgram(program);
    process.setArguments({QStringLiteral("session")});
    const int memory = image ? image->memoryFile() : -1;
    const int record = recordFile;
    process.setChildProcessModifier([memory, record] {
        // Between fork and exec: only async-signal-safe calls.
        // Out of the terminal's process group: a Ctrl-C is for the process that runs the
        // sessions.
        ::setpgid(0, 0);
        // The record file out of the image's way first, should it sit where the image goes.
        int from = record;
        if (from == IMAGE_DESCRIPTOR) {
            from = ::fcntl(from, F_DUPFD_CLOEXEC, RECORD_DESCRIPTOR + 1);
        }
        for (const auto& [source, target] :
             {std::pair{memory, IMAGE_DESCRIPTOR}, std::pair{from, RECORD_DESCRIPTOR}}) {
            if (source < 0) {
                continue;
            }
            if (source == target) {
                ::fcntl(source, F_SETFD, 0);
            } else {
                ::dup2(source, target);
            }
        }
    });
    process.start();
    process.write(sessionwire::encodeRequest(request));
    process.closeWriteChannel();
}

void ChildSession::abandon() {
    if (process.state() != QProcess::NotRunning) {
        abandoned = true;
        process.kill();
    }
}

void ChildSession::readEvents() {
    pendingOut += process.readAllStandardOutput();
    qsizetype end = 0;
    while ((end = pendingOut.indexOf('\n')) >= 0) {
        const QByteArray line = pendingOut.left(end);
        pendingOut.remove(0, end + 1);
        if (ended || line.trimmed().isEmpty()) {
            continue;
        }
        try {
            if (const std::optional<QString> problem = sessionwire::recordedOf(line)) {
                recordProblem = problem;
                continue;
            }
            sessionwire::replay(line, *this);
        } catch (const HException& e) {
            if (protocolProblem.isEmpty()) {
                protocolProblem = messageOf(e);
            }
        }
    }
}

void ChildSession::readTrace() {
    pendingErr += process.readAllStandardError();
    qsizetype end = 0;
    while ((end = pendingErr.indexOf('\n')) >= 0) {
        Q_EMIT traced(QString::fromUtf8(pendingErr.left(end)));
        pendingErr.remove(0, end + 1);
    }
}

void ChildSession::childEnded(int exitCode, QProcess::ExitStatus status) {
    readEvents();
    readTrace();
    if (!pendingErr.isEmpty()) {
        Q_EMIT traced(QString::fromUtf8(std::exchange(pendingErr, {})));
    }
    if (ended) {
        return;
    }
    // Ended without telling how: what it had told stands, the rest is unknown.
    SessionResult result;
    result.before = before;
    result.probeState = state;
    if (abandoned) {
        result.failure = {FailureKind::Abandoned, QStringLiteral("the install was abandoned"),
                          QString()};
    } else if (!protocolProblem.isEmpty()) {
        result.failure = {FailureKind::Failed, protocolProblem, QString()};
    } else {
        result.failure = {
            FailureKind::Failed,
            status == QProcess::CrashExit
                ? QStringLiteral("the install process crashed")
                : QStringLiteral("the install ended (exit status %1) without a result")
                      .arg(exitCode),
            QString()};
    }
    end(result);
}

void ChildSession::end(const SessionResult& result) {
    if (!ended) {
        Q_EMIT finished(result);
    }
}
