// The install session, for both generations, against emulated probes on a virtual clock:
// the typed events it tells, in order, and its result; and the same events once they have
// crossed to another process's reader in their wire form.
#include "app/Clock.h"
#include "app/HException.h"
#include "device/UsbBackend.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/EmulatorSetup.h"
#include "engines/ProbeEngines.h"
#include "probe/InstallSession.h"
#include "probe/ProbeLock.h"
#include "probe/SessionWire.h"
#include "tools/gen2/KV2ImageGenerator.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <optional>

namespace {

// Every event of a session, one line each.
class Recorder {
public:
    explicit Recorder(SessionEvents& events) {
        QObject::connect(&events, &SessionEvents::started, [this](const InstalledFirmware& f) {
            lines << QStringLiteral("started %1").arg(f.versionText);
        });
        QObject::connect(&events, &SessionEvents::planned, [this](const PlanSummary& plan) {
            lines << QStringLiteral("planned %1 steps").arg(plan.steps.size());
        });
        QObject::connect(&events, &SessionEvents::probeStateChanged, [this](ProbeState state) {
            lines << QStringLiteral("state %1").arg(int(state));
        });
        QObject::connect(
            &events, &SessionEvents::phaseStarted,
            [this](InstallPhase phase, qint64 total, const QString& text, const QString& units) {
                phases << phase;
                lines << QStringLiteral("phase %1 %2 %3 %4")
                             .arg(phaseName(phase))
                             .arg(total)
                             .arg(text, units);
            });
        QObject::connect(&events, &SessionEvents::progressed,
                         [this](qint64 done) { lines << QStringLiteral("progress %1").arg(done); });
        QObject::connect(&events, &SessionEvents::told, [this](SessionMessage message) {
            lines << QStringLiteral("told %1").arg(int(message));
        });
        QObject::connect(&events, &SessionEvents::finished, [this](const SessionResult& r) {
            result = r;
            lines << QStringLiteral("finished %1 %2 %3 %4 %5")
                         .arg(int(r.outcome))
                         .arg(int(r.failure.kind))
                         .arg(r.failure.message)
                         .arg(int(r.probeState))
                         .arg(r.after ? r.after->versionText : QString());
        });
    }

    QStringList lines;
    QList<InstallPhase> phases;
    SessionResult result;
};

struct SessionCase {
    const char* name;
    const char* emulate;
    int imageGeneration;  // of the image installed
    InstallSession::Options options;
    SessionOutcome outcome;
    FailureKind failure;
    const char* message;  // what the failure's message says (its end), or ""
    ProbeState state;
    QList<InstallPhase> phases;
    bool probeInUse = false;  // another installer holds the probe's lock
};

void PrintTo(const SessionCase& c, std::ostream* os) {
    *os << c.name;
}

using P = InstallPhase;

class Session : public ::testing::TestWithParam<SessionCase> {
protected:
    Session() : scoped(clock) {}

    std::shared_ptr<const ImageIdentity> image(int generation) {
        const QString path = files.filePath(QStringLiteral("image.bin"));
        if (generation == 2) {
            writeKV2ImageFile(path, generateKV2Image(KV2ImageSpec{}));
        } else {
            Gen3ImageRecipe recipe;
            recipe.versionMajor = 1;
            recipe.versionMinor = 4;
            recipe.description = QStringLiteral("session test");
            recipe.size = 3 * 8192 + 100;
            writeGen3Image(path, generateGen3Image(recipe));
        }
        return std::make_shared<const ImageIdentity>(identifyImage(path));
    }

    VirtualClock clock{100000};
    ScopedClock scoped;
    QTemporaryDir files;
};

TEST_P(Session, TellsItsPhasesAndEndsWithItsResult) {
    const SessionCase& c = GetParam();
    auto* bus = new EmulatedUsbBus;
    const ScopedUsbBackend backend{std::unique_ptr<UsbBackend>(bus)};
    for (const EmulatorSetup::Item& item : EmulatorSetup::parse(QLatin1String(c.emulate)).items) {
        bus->attach(item.create());
    }
    const UsbDeviceInfo probe = bus->enumerate().value(0);
    // A lock of its own on the probe's file conflicts with the session's as another
    // process's would.
    const std::optional<ProbeLock> other =
        c.probeInUse ? std::make_optional<ProbeLock>(probe) : std::nullopt;
    InstallSession session(engineForProbe(probe), probe, image(c.imageGeneration), c.options);
    const Recorder local(session);
    // The same events, as another process reads them from this one's lines.
    SessionEvents remote;
    const Recorder replayed(remote);
    sessionwire::forward(session,
                         [&remote](const QByteArray& line) { sessionwire::replay(line, remote); });

    const SessionResult result = session.run();
    EXPECT_EQ(result.outcome, c.outcome) << local.lines.join(u'\n').toStdString();
    EXPECT_EQ(result.failure.kind, c.failure);
    EXPECT_TRUE(QLatin1String(c.message).isEmpty()
                    ? result.failure.message.isEmpty() || c.probeInUse
                    : result.failure.message.endsWith(QLatin1String(c.message)))
        << result.failure.message.toStdString();
    EXPECT_EQ(result.probeState, c.state);
    EXPECT_EQ(local.phases, c.phases);
    EXPECT_EQ(replayed.lines, local.lines);
    EXPECT_EQ(replayed.result.phaseTimes, result.phaseTimes);
    if (result.outcome == SessionOutcome::Installed) {
        EXPECT_EQ(result.after->versionText, image(c.imageGeneration)->versionText);
        EXPECT_TRUE(local.lines.contains(QStringLiteral("state 1")));  // needs an install...
        EXPECT_TRUE(local.lines.contains(QStringLiteral("state 2")));  // ...then installed
    }
    if (c.state == ProbeState::Untouched) {
        EXPECT_FALSE(local.lines.contains(QStringLiteral("state 1")));
    }
    if (c.probeInUse) {
        EXPECT_TRUE(bus->devices().front()->frameLog().frames().isEmpty()) << "probe touched";
        EXPECT_EQ(
            result.failure.message,
            QStringLiteral("probe K2000001 is in use by PID %1 (probe_tests)").arg(::getpid()));
    }
    // The lock is the session's for its run only.
    EXPECT_TRUE(ProbeLock(probe).held() || c.probeInUse);
}

INSTANTIATE_TEST_SUITE_P(
    BothGenerations, Session,
    ::testing::Values(SessionCase{"generation3",
                                  "gen3",
                                  3,
                                  {},
                                  SessionOutcome::Installed,
                                  FailureKind::None,
                                  "",
                                  ProbeState::Installed,
                                  {P::Erasing, P::Writing, P::Verifying}},
                      SessionCase{"generation3_crc_mismatch",
                                  "gen3:fault=crc-mismatch@2",
                                  3,
                                  {},
                                  SessionOutcome::Failed,
                                  FailureKind::Failed,
                                  "Verify failed : crc check mismatch",
                                  ProbeState::NeedsInstall,
                                  {P::Erasing, P::Writing, P::Verifying}},
                      SessionCase{"generation3_refused_at_open",
                                  "gen3:open=denied",
                                  3,
                                  {},
                                  SessionOutcome::Failed,
                                  FailureKind::PermissionDenied,
                                  "cannot open device driver",
                                  ProbeState::Untouched,
                                  {}},
                      SessionCase{"generation2",
                                  "gen2",
                                  2,
                                  {},
                                  SessionOutcome::Installed,
                                  FailureKind::None,
                                  "",
                                  ProbeState::Installed,
                                  {P::WaitingForBootloader, P::Writing, P::Verifying}},
                      SessionCase{"generation2_verify_mismatch",
                                  "gen2:fault=verify@3",
                                  2,
                                  {},
                                  SessionOutcome::Failed,
                                  FailureKind::Failed,
                                  "Application download verify failed",
                                  ProbeState::NeedsInstall,
                                  {P::WaitingForBootloader, P::Writing, P::Verifying}},
                      SessionCase{"image_of_the_other_generation",
                                  "gen2",
                                  3,
                                  {},
                                  SessionOutcome::Failed,
                                  FailureKind::ImageRefused,
                                  "is a generation-3 image, but the probe K2000001 is generation 2",
                                  ProbeState::Untouched,
                                  {}},
                      SessionCase{"dry_run",
                                  "gen2",
                                  2,
                                  {true, false},
                                  SessionOutcome::Planned,
                                  FailureKind::None,
                                  "",
                                  ProbeState::Untouched,
                                  {}},
                      SessionCase{"probe_in_use_by_another_installer",
                                  "gen2",
                                  2,
                                  {},
                                  SessionOutcome::Failed,
                                  FailureKind::InUse,
                                  "",
                                  ProbeState::Untouched,
                                  {},
                                  true},
                      SessionCase{"probe_runs_the_image_already",
                                  "gen3:version=1.4:desc=session test",
                                  3,
                                  {false, true},
                                  SessionOutcome::UpToDate,
                                  FailureKind::None,
                                  "",
                                  ProbeState::Untouched,
                                  {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A line of another protocol version, or a child's refusal, is refused, never misread.
TEST(SessionWire, RefusesLinesOfAnotherVersion) {
    SessionEvents events;
    int told = 0;
    QObject::connect(&events, &SessionEvents::progressed, [&told] { ++told; });
    const auto refusal = [&events](const QByteArray& line) {
        try {
            sessionwire::replay(line, events);
        } catch (const HException& e) {
            return messageOf(e);
        }
        return QString();
    };
    EXPECT_EQ(refusal(R"({"kvtoolSession":1,"event":"progress","done":5})"), QString());
    EXPECT_TRUE(refusal(R"({"kvtoolSession":2,"event":"progress","done":5})")
                    .contains(QStringLiteral("session protocol version 2")));
    EXPECT_TRUE(refusal(R"({"event":"progress","done":5})").contains(QStringLiteral("version -1")));
    EXPECT_EQ(refusal(sessionwire::encodeRefusal(QStringLiteral("no thanks"))),
              QStringLiteral("no thanks"));
    EXPECT_FALSE(refusal("Firmware installed.").isEmpty());
    EXPECT_EQ(told, 1);
    EXPECT_THROW(sessionwire::decodeRequest(R"({"kvtoolSession":7,"event":"request"})"),
                 HException);
}

}  // namespace
