#include "app/QtSingleApplication.h"

#include "app/InstanceChannel.h"
#include "app/KorvaneConfigurer.h"
#include "app/SingleInstanceTestSupport.h"
#include "emu/EmulatedUsbBus.h"

#include <QEvent>
#include <QLocalServer>
#include <QMessageBox>
#include <QMetaMethod>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

namespace {

QtSingleApplication* app() {
    return qobject_cast<QtSingleApplication*>(qApp);
}

// Records the events that would show, restore or change the state of a window.
class WindowEvents : public QObject {
public:
    explicit WindowEvents(QWidget* window) { window->installEventFilter(this); }
    QList<QEvent::Type> seen;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type == QEvent::Show || type == QEvent::ShowToParent ||
            type == QEvent::WindowStateChange || type == QEvent::Hide) {
            seen << type;
        }
        return false;
    }
};

class QtSingleApplicationTest : public ::testing::Test {
protected:
    QtSingleApplicationTest() : backend(std::make_unique<EmulatedUsbBus>()) {
        window = std::make_unique<KorvaneConfigurer>();
        mainWindow = window.get();
    }
    ~QtSingleApplicationTest() override { mainWindow = nullptr; }

    // Another window takes the focus, as another program would.
    void activateSomethingElse() {
        other.setWindowTitle(QStringLiteral("other"));
        other.show();
        other.activateWindow();
        ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &other; }));
    }

    ScopedUsbBackend backend;
    std::unique_ptr<KorvaneConfigurer> window;
    QWidget other;
};

TEST(QtSingleApplicationInterface, ClassSlotsAndSignal) {
    ASSERT_NE(app(), nullptr);
    const QMetaObject* meta = app()->metaObject();
    EXPECT_STREQ(meta->className(), "QtSingleApplication");
    EXPECT_TRUE(app()->inherits("ErrorReportingApplication"));
    EXPECT_TRUE(app()->inherits("QApplication"));
    EXPECT_TRUE(app()->instanceId().startsWith(QStringLiteral("kvtool tests ")));
    for (const char* slot :
         {"sendMessage(QString)", "sendMessage(QString,int)", "activateMainWidget()"}) {
        const int index = meta->indexOfSlot(slot);
        ASSERT_GE(index, 0) << slot;
        EXPECT_EQ(meta->method(index).access(), QMetaMethod::Public) << slot;
    }
    const int signal = meta->indexOfSignal("messageReceived(QString)");
    ASSERT_GE(signal, 0);
    EXPECT_EQ(meta->method(signal).parameterNames(), QList<QByteArray>{"message"});
}

TEST_F(QtSingleApplicationTest, AMessageRaisesAndActivatesTheMainWindowOnce) {
    window->show();
    activateSomethingElse();
    app()->startListening(true);
    ASSERT_TRUE(app()->isListening());
    EXPECT_TRUE(app()->anotherInstanceRunning());
    // A second call creates nothing new, and messages still arrive once.
    app()->startListening(true);
    EXPECT_EQ(app()->findChildren<QLocalServer*>().size(), 1);

    QStringList received;
    QObject context;
    QObject::connect(app(), &QtSingleApplication::messageReceived, &context,
                     [&](const QString& message) { received << message; });
    InstanceChannel later(app()->instanceId());
    EXPECT_TRUE(sendFromAnotherThread(later, QStringLiteral("E:/fw")).delivered);
    EXPECT_EQ(received, QStringList{"E:/fw"});
    EXPECT_TRUE(waitUntil([&] { return QApplication::activeWindow() == window.get(); }));
    EXPECT_FALSE(window->isMinimized());
}

TEST_F(QtSingleApplicationTest, AMinimisedMainWindowIsActivatedButNotRestored) {
    window->showMinimized();
    QCoreApplication::processEvents();
    ASSERT_TRUE(window->windowState().testFlag(Qt::WindowMinimized));
    WindowEvents events(window.get());
    app()->activateMainWidget();
    EXPECT_TRUE(waitUntil([&] { return QApplication::activeWindow() == window.get(); }));
    waitUntil([] { return false; }, 100);
    EXPECT_TRUE(window->windowState().testFlag(Qt::WindowMinimized));
    EXPECT_TRUE(events.seen.isEmpty());
}

TEST_F(QtSingleApplicationTest, AHiddenMainWindowIsNotShown) {
    WindowEvents events(window.get());
    app()->activateMainWidget();
    waitUntil([] { return false; }, 100);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(events.seen.isEmpty());
}

TEST_F(QtSingleApplicationTest, ShownMainWindowComesToTheFront) {
    window->show();
    activateSomethingElse();
    app()->activateMainWidget();
    EXPECT_TRUE(waitUntil([&] { return QApplication::activeWindow() == window.get(); }));
}

// A box open over the window (an error, the question on closing during an install) keeps
// the focus when a second start brings the window forward: it answers Escape and Enter.
TEST_F(QtSingleApplicationTest, ABoxOpenOverTheWindowGetsTheFocus) {
    window->show();
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Error"), QStringLiteral("failed"),
                    QMessageBox::Ok, window.get());
    box.open();
    activateSomethingElse();
    app()->activateMainWidget();
    EXPECT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &box; }));
}

TEST(QtSingleApplicationWithoutWindow, ActivatingDoesNothing) {
    ASSERT_EQ(mainWindow, nullptr);
    app()->activateMainWidget();
    EXPECT_EQ(QApplication::activeWindow(), nullptr);
}

}  // namespace
