#include "app/InstanceChannel.h"

#include "app/InstanceMessage.h"
#include "app/SingleInstanceTestSupport.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <ostream>

namespace {

constexpr QFileDevice::Permissions NOT_OWNER = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                               QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                               QFileDevice::WriteOther | QFileDevice::ExeOther;

QByteArray header(quint32 payloadSize) {
    QByteArray bytes(InstanceMessage::MAGIC, InstanceMessage::MAGIC_SIZE);
    char length[InstanceMessage::LENGTH_SIZE];
    qToLittleEndian<quint32>(payloadSize, length);
    return bytes + QByteArray(length, InstanceMessage::LENGTH_SIZE);
}

class InstanceChannelTest : public ::testing::Test {
protected:
    InstanceChannelTest()
        : environment("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path())),
          id(uniqueInstanceId()) {
        QObject::connect(&listener, &InstanceChannel::messageReceived,
                         [this](const QString& message) { received << message; });
    }

    QTemporaryDir runtime;
    ScopedEnvironment environment;
    QString id;
    InstanceChannel listener{id};
    InstanceChannel sender{id};
    QStringList received;
};

TEST_F(InstanceChannelTest, TheSocketIsPrivateToTheUserInTheRuntimeDirectory) {
    EXPECT_EQ(QFileInfo(listener.serverPath()).absolutePath(), QDir(runtime.path()).absolutePath());
    EXPECT_EQ(sender.serverPath(), listener.serverPath());
    EXPECT_NE(InstanceChannel(uniqueInstanceId()).serverPath(), listener.serverPath());
    EXPECT_FALSE(listener.serverPath().contains(QStringLiteral("kvtool test")));

    ASSERT_TRUE(listener.listen());
    const QFileInfo socket(listener.serverPath());
    EXPECT_TRUE(socket.exists());
    EXPECT_EQ(socket.ownerId(), ::getuid());
    EXPECT_EQ(socket.permissions() & NOT_OWNER, QFileDevice::Permissions());
}

struct RuntimeDirectory {
    const char* name;
    QFileDevice::Permissions permissions;  // empty: the variable names no directory
};

void PrintTo(const RuntimeDirectory& value, std::ostream* os) {
    *os << value.name;
}

class UnusableRuntimeDirectory : public ::testing::TestWithParam<RuntimeDirectory> {};

// A runtime directory that others may enter, or none at all: the socket goes to a
// directory of the user's own in the temporary directory, which only its owner can enter.
TEST_P(UnusableRuntimeDirectory, TheSocketGoesToAPrivateTemporaryDirectory) {
    QTemporaryDir temporary;
    ScopedEnvironment tmpdir("TMPDIR", QFile::encodeName(temporary.path()));
    QTemporaryDir runtime;
    QByteArray value;
    if (GetParam().permissions != QFileDevice::Permissions()) {
        ASSERT_TRUE(QFile::setPermissions(runtime.path(), GetParam().permissions));
        value = QFile::encodeName(runtime.path());
    } else if (std::strcmp(GetParam().name, "missing") == 0) {
        value = QFile::encodeName(runtime.path() + QStringLiteral("/missing"));
    }
    ScopedEnvironment environment("XDG_RUNTIME_DIR", value);
    InstanceChannel channel(uniqueInstanceId());
    const QFileInfo directory(QFileInfo(channel.serverPath()).absolutePath());
    EXPECT_EQ(directory.absoluteFilePath(),
              QDir(temporary.path()).filePath(QStringLiteral("kvtool-%1").arg(::getuid())));
    EXPECT_EQ(directory.ownerId(), ::getuid());
    EXPECT_EQ(directory.permissions() & NOT_OWNER, QFileDevice::Permissions());
    ASSERT_TRUE(channel.listen());
    EXPECT_TRUE(channel.anotherInstanceListening());
}

// The private directory's name in the temporary directory is taken by something that is
// not this user's directory: nothing there is touched and the channel says why it cannot
// listen.
TEST(InstanceChannelFallback, ANameTakenByAnotherIsNeverUsed) {
    ScopedEnvironment runtime("XDG_RUNTIME_DIR", QByteArray());
    for (const char* taken : {"symlink", "file", "other_users_directory"}) {
        QTemporaryDir temporary;
        ScopedEnvironment tmpdir("TMPDIR", QFile::encodeName(temporary.path()));
        const QString name =
            QDir(temporary.path()).filePath(QStringLiteral("kvtool-%1").arg(::getuid()));
        const QString elsewhere = QDir(temporary.path()).filePath(QStringLiteral("elsewhere"));
        ASSERT_TRUE(QDir().mkpath(elsewhere));
        if (std::strcmp(taken, "symlink") == 0) {
            ASSERT_TRUE(QFile::link(elsewhere, name));
        } else if (std::strcmp(taken, "file") == 0) {
            QFile file(name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        } else {
            if (::getuid() != 0)
                continue;  // only root can give a directory away
            ASSERT_TRUE(QDir().mkpath(name));
            ASSERT_EQ(::chown(QFile::encodeName(name).constData(), 65534, 65534), 0);
        }
        InstanceChannel channel(uniqueInstanceId());
        EXPECT_TRUE(channel.serverPath().isEmpty()) << taken;
        EXPECT_TRUE(channel.unusableReason().contains(name)) << taken;
        EXPECT_FALSE(channel.listen()) << taken;
        EXPECT_FALSE(channel.anotherInstanceListening()) << taken;
        EXPECT_FALSE(channel.sendMessage(QStringLiteral("x"), 100)) << taken;
        EXPECT_TRUE(QDir(elsewhere).isEmpty()) << taken;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Directories, UnusableRuntimeDirectory,
    ::testing::Values(RuntimeDirectory{"unset", {}}, RuntimeDirectory{"missing", {}},
                      RuntimeDirectory{"readable_by_others",
                                       QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstanceChannelTest, NobodyListeningMeansNoInstanceAndAnImmediateFalse) {
    EXPECT_FALSE(sender.anotherInstanceListening());
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(sender.sendMessage(QStringLiteral("E:/fw"), 5000));
    EXPECT_LT(clock.elapsed(), 1000);  // no waiting for the 5000 ms time-out
}

TEST_F(InstanceChannelTest, ListeningIsSeenUnderTheSameIdOnly) {
    ASSERT_TRUE(listener.listen());
    EXPECT_TRUE(listener.isListening());
    EXPECT_TRUE(sender.anotherInstanceListening());
    EXPECT_TRUE(listener.anotherInstanceListening());  // its own socket counts as well
    EXPECT_FALSE(InstanceChannel(uniqueInstanceId()).anotherInstanceListening());
    // The presence checks' empty connections are dropped without a message.
    EXPECT_TRUE(waitUntil([&] { return listener.connectionCount() == 0; }));
    EXPECT_TRUE(received.isEmpty());
}

TEST_F(InstanceChannelTest, ASecondListenCreatesNothingNew) {
    ASSERT_TRUE(listener.listen());
    ASSERT_TRUE(listener.listen());
    EXPECT_EQ(listener.findChildren<QLocalServer*>().size(), 1);
    EXPECT_TRUE(sendFromAnotherThread(sender, QStringLiteral("once")).delivered);
    EXPECT_EQ(received, QStringList{"once"});
}

TEST_F(InstanceChannelTest, ALaterChannelNeverTakesALiveSocketOver) {
    ASSERT_TRUE(listener.listen());
    InstanceChannel late(id);
    EXPECT_FALSE(late.listen());
    EXPECT_FALSE(late.isListening());
    EXPECT_TRUE(sendFromAnotherThread(sender, QStringLiteral("still here")).delivered);
    EXPECT_EQ(received, QStringList{"still here"});
}

TEST_F(InstanceChannelTest, AStaleSocketFileIsTakenOver) {
    // What a crashed instance leaves behind: a socket file that nobody listens on.
    const QByteArray path = QFile::encodeName(listener.serverPath());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(listener.serverPath()));

    EXPECT_FALSE(sender.anotherInstanceListening());
    EXPECT_FALSE(sender.sendMessage(QStringLiteral("lost"), 5000));
    ASSERT_TRUE(listener.listen());
    EXPECT_TRUE(sender.anotherInstanceListening());
    EXPECT_TRUE(sendFromAnotherThread(sender, QStringLiteral("taken over")).delivered);
    EXPECT_EQ(received, QStringList{"taken over"});
}

TEST_F(InstanceChannelTest, ClosingTheChannelRemovesItsSocket) {
    auto channel = std::make_unique<InstanceChannel>(id);
    ASSERT_TRUE(channel->listen());
    ASSERT_TRUE(QFileInfo::exists(channel->serverPath()));
    channel.reset();
    EXPECT_FALSE(QFileInfo::exists(sender.serverPath()));
    EXPECT_FALSE(sender.anotherInstanceListening());
}

TEST_F(InstanceChannelTest, TextsArriveWholeAndInOrder) {
    ASSERT_TRUE(listener.listen());
    const QStringList texts = {QString(), QStringLiteral("E:/fw"),
                               QString::fromUtf8("/home/jö/固件/\xF0\x9D\x84\x9E"),
                               QString(InstanceMessage::MAX_TEXT_UNITS, u'z')};
    for (const QString& text : texts) {
        EXPECT_TRUE(sendFromAnotherThread(sender, text).delivered);
    }
    EXPECT_EQ(received, texts);
}

TEST_F(InstanceChannelTest, ATextBeyondTheBoundIsNotSentAtAll) {
    ASSERT_TRUE(listener.listen());
    int connections = 0;
    QObject::connect(listener.findChild<QLocalServer*>(), &QLocalServer::newConnection,
                     [&] { ++connections; });
    EXPECT_FALSE(sender.sendMessage(QString(InstanceMessage::MAX_TEXT_UNITS + 1, u'z'), 5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(connections, 0);
    EXPECT_TRUE(received.isEmpty());
}

TEST_F(InstanceChannelTest, TheTextIsEmittedOnTheListeningThreadBeforeTheAcknowledgement) {
    ASSERT_TRUE(listener.listen());
    std::atomic<bool> emitted{false};
    QThread* emittingThread = nullptr;
    QObject::connect(&listener, &InstanceChannel::messageReceived, [&] {
        emittingThread = QThread::currentThread();
        // A receiver that lets the event loop run: nothing may reach the sender before
        // the signal has returned.
        QEventLoop loop;
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
        loop.exec();
        emitted = true;
    });
    bool emittedWhenDelivered = false;
    const SendOutcome outcome = sendFromAnotherThread([&] {
        const bool delivered = sender.sendMessage(QStringLiteral("abc"), 5000);
        emittedWhenDelivered = emitted.load();
        return delivered;
    });
    EXPECT_TRUE(outcome.delivered);
    EXPECT_TRUE(emittedWhenDelivered);
    EXPECT_EQ(emittingThread, QCoreApplication::instance()->thread());
}

// A receiver that runs an event loop of its own, longer than the client time-out, while
// its client gives up: the finished connection must be left alone afterwards.
TEST_F(InstanceChannelTest, AReceiverRunningAnEventLoopOutlivesItsConnection) {
    ASSERT_TRUE(listener.listen());
    listener.setClientTimeout(100);
    QObject::connect(&listener, &InstanceChannel::messageReceived, [&] {
        QEventLoop loop;
        QTimer::singleShot(400, &loop, &QEventLoop::quit);
        loop.exec();
    });
    QLocalSocket client;
    client.connectToServer(listener.serverPath());
    ASSERT_TRUE(client.waitForConnected(1000));
    client.write(*InstanceMessage::encode(QStringLiteral("nested")));
    ASSERT_TRUE(waitUntil([&] { return !received.isEmpty(); }));
    client.abort();
    EXPECT_TRUE(waitUntil([&] { return listener.connectionCount() == 0; }));
    EXPECT_EQ(received, QStringList{"nested"});
    // Still serving; a complete message is acknowledged however long its receivers take.
    EXPECT_TRUE(sendFromAnotherThread(sender, QStringLiteral("next")).delivered);
    EXPECT_EQ(received, QStringList({"nested", "next"}));
}

struct HostileClient {
    const char* name;
    QByteArray bytes;
    bool refusedAtOnce;  // recognised as malformed, not merely left to time out
};

void PrintTo(const HostileClient& value, std::ostream* os) {
    *os << value.name;
}

class HostileClients : public InstanceChannelTest,
                       public ::testing::WithParamInterface<HostileClient> {};

TEST_P(HostileClients, AreDroppedAndTheInstanceGoesOnServing) {
    ASSERT_TRUE(listener.listen());
    // A client that is only slow must wait for the time-out; a malformed one must not.
    listener.setClientTimeout(GetParam().refusedAtOnce ? 600000 : 300);
    QLocalSocket client;
    client.connectToServer(listener.serverPath());
    ASSERT_TRUE(client.waitForConnected(1000));
    client.write(GetParam().bytes);
    client.flush();
    EXPECT_TRUE(waitUntil([&] { return client.state() == QLocalSocket::UnconnectedState; }, 5000));
    EXPECT_TRUE(waitUntil([&] { return listener.connectionCount() == 0; }));
    EXPECT_EQ(client.bytesAvailable(), 0);  // no acknowledgement
    EXPECT_TRUE(received.isEmpty());

    EXPECT_TRUE(sendFromAnotherThread(sender, QStringLiteral("after")).delivered);
    EXPECT_EQ(received, QStringList{"after"});
    EXPECT_TRUE(waitUntil([&] { return listener.connectionCount() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(
    Clients, HostileClients,
    ::testing::Values(HostileClient{"garbage", QByteArray("GET / HTTP/1.0\r\n\r\n"), true},
                      HostileClient{"binary_noise", QByteArray::fromHex("deadbeef00ff00ff13370000"),
                                    true},
                      HostileClient{"length_above_the_bound",
                                    header(InstanceMessage::MAX_PAYLOAD_BYTES + 2), true},
                      HostileClient{"length_of_four_gigabytes", header(0xFFFFFFFFu) + "AAAA", true},
                      HostileClient{"declared_far_more_than_sent", header(60000) + "a\0b\0", false},
                      HostileClient{"header_cut_short", header(12).left(5), false},
                      HostileClient{"sends_nothing", QByteArray(), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstanceChannelTest, ManyClientsAtOnceAreBoundedAndAllDropped) {
    ASSERT_TRUE(listener.listen());
    listener.setClientTimeout(300);
    constexpr int CLIENTS = 3 * InstanceChannel::MAX_CONNECTIONS;
    std::vector<std::unique_ptr<QLocalSocket>> clients;
    for (int i = 0; i < CLIENTS; ++i) {
        clients.push_back(std::make_unique<QLocalSocket>());
        clients.back()->connectToServer(listener.serverPath());
        // Half of them start a long message and stall.
        if (i % 2 == 0 && clients.back()->waitForConnected(1000)) {
            clients.back()->write(header(InstanceMessage::MAX_PAYLOAD_BYTES) + "x");
        }
    }
    int most = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            most = std::max(most, listener.connectionCount());
            return std::all_of(clients.begin(), clients.end(), [](const auto& client) {
                return client->state() == QLocalSocket::UnconnectedState;
            });
        },
        10000));
    EXPECT_GT(most, 0);
    EXPECT_LE(most, InstanceChannel::MAX_CONNECTIONS);
    EXPECT_TRUE(waitUntil([&] { return listener.connectionCount() == 0; }));
    EXPECT_TRUE(received.isEmpty());
    EXPECT_TRUE(sendFromAnotherThread(sender, QStringLiteral("after the crowd")).delivered);
    EXPECT_EQ(received, QStringList{"after the crowd"});
}

TEST_F(InstanceChannelTest, BytesAfterACompleteFrameAreIgnored) {
    ASSERT_TRUE(listener.listen());
    QLocalSocket client;
    client.connectToServer(listener.serverPath());
    ASSERT_TRUE(client.waitForConnected(1000));
    client.write(*InstanceMessage::encode(QStringLiteral("first")) + QByteArray(1000, 'J'));
    EXPECT_TRUE(waitUntil([&] { return client.bytesAvailable() > 0; }));
    EXPECT_EQ(client.read(1), QByteArray(1, InstanceMessage::ACK));
    EXPECT_TRUE(waitUntil([&] { return listener.connectionCount() == 0; }));
    EXPECT_EQ(received, QStringList{"first"});
}

}  // namespace
