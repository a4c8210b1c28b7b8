#include "probe/ChildSession.h"

#include "app/HException.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace {

// How long a child takes to end, at most, once it told its result or was killed.
constexpr int CHILD_EXIT_MS = 5000;
// How many descriptors a child is handed at most: the image, the record file and the
// images an update offers.
constexpr std::size_t MAX_HANDED_OVER = 64;

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
    // Which descriptor of this process goes where in the child: the image, the record
    // file, the images offered.
    std::vector<std::pair<int, int>> handOver{{image ? image->memoryFile() : -1, IMAGE_DESCRIPTOR},
                                              {recordFile, RECORD_DESCRIPTOR}};
    for (qsizetype i = 0; i < offers.size(); ++i) {
        handOver.emplace_back(offers[i] ? offers[i]->memoryFile() : -1,
                              FIRST_OFFER_DESCRIPTOR + int(i));
    }
    // Above every target, so that no source is overwritten before it was handed on.
    const int parking = FIRST_OFFER_DESCRIPTOR + int(offers.size()) + 1;
    process.setChildProcessModifier([handOver, parking] {
        // Between fork and exec: only async-signal-safe calls, and no allocation.
        // Out of the terminal's process group: a Ctrl-C is for the process that runs the
        // sessions.
        ::setpgid(0, 0);
        std::array<int, MAX_HANDED_OVER> parked{};
        const std::size_t count = std::min(handOver.size(), parked.size());
        for (std::size_t i = 0; i < count; ++i) {
            parked[i] =
                handOver[i].first < 0 ? -1 : ::fcntl(handOver[i].first, F_DUPFD_CLOEXEC, parking);
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (parked[i] >= 0) {
                ::dup2(parked[i], handOver[i].second);  // the copy is inherited by the program
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
