// The single-instance guard between real processes: kvtool's start-up check in a stand-in
// program (SingleInstanceProbe.cpp) on kvtool's application class.
#include "app/InstanceChannel.h"
#include "app/SingleInstanceTestSupport.h"

#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <vector>

namespace {

// One run of the probe with its stdout split into "key" / "key:value" lines.
class Instance {
public:
    Instance(const QString& id, const QStringList& arguments, bool stall = false) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("KVTOOL_PROBE_ID"), id);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (stall) {
            environment.insert(QStringLiteral("KVTOOL_PROBE_STALL"), QStringLiteral("1"));
        }
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(KVTOOL_INSTANCE_PROBE), arguments);
    }
    ~Instance() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // Waits for the line with `key` and returns its value.
    std::optional<QString> waitFor(const QString& key, int timeoutMs = 15000) {
        QDeadlineTimer deadline(timeoutMs);
        while (true) {
            for (const QString& line : lines) {
                if (line == key || line.startsWith(key + u':')) {
                    return line.mid(key.size() + 1);
                }
            }
            if (deadline.hasExpired() || !readMore(deadline)) {
                return std::nullopt;
            }
        }
    }
    // Waits until the instance either listens or has handed its argument over; returns
    // "listening", "sent" or the empty text.
    QString outcome(int timeoutMs = 15000) {
        QDeadlineTimer deadline(timeoutMs);
        while (!saw(QStringLiteral("listening")) && !saw(QStringLiteral("sent"))) {
            if (deadline.hasExpired() || !readMore(deadline)) {
                return {};
            }
        }
        return saw(QStringLiteral("listening")) ? QStringLiteral("listening")
                                                : QStringLiteral("sent");
    }
    bool saw(const QString& key) const {
        return std::any_of(lines.begin(), lines.end(), [&](const QString& line) {
            return line == key || line.startsWith(key + u':');
        });
    }
    // Waits for a normal exit; returns the exit code, or -1.
    int exitCode(int timeoutMs = 15000) {
        if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit) {
            return -1;
        }
        collect();
        return process.exitCode();
    }
    void closeInput() { process.closeWriteChannel(); }
    void kill() {
        process.kill();
        process.waitForFinished(5000);
    }

private:
    bool readMore(const QDeadlineTimer& deadline) {
        if (process.state() == QProcess::NotRunning) {
            collect();
            return false;
        }
        process.waitForReadyRead(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
        collect();
        return true;
    }
    void collect() {
        pending += process.readAllStandardOutput();
        qsizetype end = 0;
        while ((end = pending.indexOf('\n')) >= 0) {
            lines << QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
        }
    }

    QProcess process;
    QByteArray pending;
    QStringList lines;
};

QString utf16Hex(const QString& text) {
    QByteArray units;
    for (const QChar unit : text) {
        units.append(static_cast<char>(unit.unicode() >> 8));
        units.append(static_cast<char>(unit.unicode() & 0xFF));
    }
    return QString::fromLatin1(units.toHex());
}

class SingleInstanceProcesses : public ::testing::Test {
protected:
    SingleInstanceProcesses() : environment("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path())) {}

    QTemporaryDir runtime;
    ScopedEnvironment environment;
    QString id = uniqueInstanceId();
};

struct Handover {
    const char* name;
    QStringList arguments;
    QString expected;
};

void PrintTo(const Handover& value, std::ostream* os) {
    *os << value.name;
}

class SecondInstance : public SingleInstanceProcesses,
                       public ::testing::WithParamInterface<Handover> {};

TEST_P(SecondInstance, HandsItsArgumentOverAndExitsWithoutAWindow) {
    Instance first(id, {});
    ASSERT_TRUE(first.waitFor(QStringLiteral("listening")));
    EXPECT_TRUE(QFileInfo::exists(InstanceChannel(id).serverPath()));

    Instance second(id, GetParam().arguments);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(second.waitFor(QStringLiteral("sent")), QStringLiteral("true"));
    EXPECT_EQ(second.waitFor(QStringLiteral("windows")), QStringLiteral("0"));
    EXPECT_FALSE(second.saw(QStringLiteral("listening")));
    EXPECT_EQ(first.waitFor(QStringLiteral("received")), utf16Hex(GetParam().expected));

    // The running instance still listens, and exits cleanly, taking its socket with it.
    EXPECT_TRUE(InstanceChannel(id).anotherInstanceListening());
    first.closeInput();
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_FALSE(QFileInfo::exists(InstanceChannel(id).serverPath()));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, SecondInstance,
    ::testing::Values(
        Handover{"five_characters", {QStringLiteral("E:/fw")}, QStringLiteral("E:/fw")},
        Handover{
            "five_non_ascii_characters", {QString::fromUtf8("Äöü€ß")}, QString::fromUtf8("Äöü€ß")},
        Handover{"only_the_first_argument",
                 {QStringLiteral("a/b"), QStringLiteral("later")},
                 QStringLiteral("a/b")},
        Handover{"no_argument", {}, QString()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SingleInstanceProcesses, ASocketLeftByAKilledInstanceDoesNotBlockTheNextStart) {
    {
        Instance crashed(id, {});
        ASSERT_TRUE(crashed.waitFor(QStringLiteral("listening")));
        crashed.kill();  // SIGKILL: no chance to remove its socket
    }
    ASSERT_TRUE(QFileInfo::exists(InstanceChannel(id).serverPath()));
    EXPECT_FALSE(InstanceChannel(id).anotherInstanceListening());

    Instance next(id, {});
    ASSERT_TRUE(next.waitFor(QStringLiteral("listening")));
    Instance later(id, {QStringLiteral("abcde")});
    EXPECT_EQ(later.exitCode(), 0);
    EXPECT_EQ(later.waitFor(QStringLiteral("sent")), QStringLiteral("true"));
    EXPECT_EQ(next.waitFor(QStringLiteral("received")), utf16Hex(QStringLiteral("abcde")));
}

// Three instances started at the same moment: exactly one runs, the others hand their
// argument to it and exit 0, and a later start finds it. Many rounds, since a race that is
// lost one time in twenty must show.
TEST_F(SingleInstanceProcesses, OfThreeStartedAtOnceExactlyOneRuns) {
    constexpr int ROUNDS = 20;
    for (int round = 0; round < ROUNDS && !HasFailure(); ++round) {
        const QString roundId = uniqueInstanceId();
        std::vector<std::unique_ptr<Instance>> instances;
        for (const char* argument : {"a", "b", "c"})
            instances.push_back(std::make_unique<Instance>(roundId, QStringList{argument}));
        Instance* running = nullptr;
        int handedOver = 0;
        for (const auto& instance : instances) {
            const QString outcome = instance->outcome();
            if (outcome == u"listening") {
                EXPECT_EQ(running, nullptr) << "round " << round << ": two instances run";
                running = instance.get();
            } else {
                EXPECT_EQ(outcome, QStringLiteral("sent")) << "round " << round;
                EXPECT_EQ(instance->exitCode(), 0) << "round " << round;
                ++handedOver;
            }
        }
        ASSERT_NE(running, nullptr) << "round " << round << ": none runs";
        EXPECT_EQ(handedOver, 2) << "round " << round;
        Instance later(roundId, {QStringLiteral("later")});
        EXPECT_EQ(later.waitFor(QStringLiteral("sent")), QStringLiteral("true")) << round;
        running->closeInput();
        EXPECT_EQ(running->exitCode(), 0);
    }
}

TEST_F(SingleInstanceProcesses, InstancesUnderOtherIdsDoNotMeet) {
    Instance first(id, {});
    ASSERT_TRUE(first.waitFor(QStringLiteral("listening")));
    Instance other(uniqueInstanceId(), {QStringLiteral("E:/fw")});
    EXPECT_TRUE(other.waitFor(QStringLiteral("listening")));
    EXPECT_FALSE(first.saw(QStringLiteral("received")));
}

TEST_F(SingleInstanceProcesses, AnInstanceThatNeverAnswersTimesTheSenderOut) {
    Instance hung(id, {}, true);
    ASSERT_TRUE(hung.waitFor(QStringLiteral("listening")));
    const InstanceChannel sender(id);
    EXPECT_TRUE(sender.anotherInstanceListening());
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(sender.sendMessage(QStringLiteral("hello"), 1000));
    EXPECT_GE(clock.elapsed(), 900);
    EXPECT_LT(clock.elapsed(), 4000);
}

}  // namespace
