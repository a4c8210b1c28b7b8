#include "InstallRig.h"

#include "app/FirmwarePages.h"
#include "emu/EmulatedDevice.h"
#include "gen3/KVFirmwareWidget.h"
#include "support/GuiTestSupport.h"

#include <QDir>
#include <QLabel>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

InstallRig::InstallRig()
    : bus(new EmulatedUsbBus),
      backend(std::unique_ptr<UsbBackend>(bus)),
      previousDirectory(QDir::currentPath()) {
    EXPECT_TRUE(files.isValid());
    // The generation-3 page offers kv3.bin from the working directory.
    EXPECT_TRUE(QDir::setCurrent(files.path()));
}

InstallRig::~InstallRig() {
    window.reset();
    mainWindow = nullptr;
    QDir::setCurrent(previousDirectory);
}

void InstallRig::createWindow() {
    window = std::make_unique<KorvaneConfigurer>(nullptr, FirmwarePages::standard());
    mainWindow = window.get();
    window->show();
    watcher = std::make_unique<MessageBoxWatcher>();
    for (KVFirmwareWidget* page : window->findChildren<KVFirmwareWidget*>()) {
        QObject::connect(page, &KVFirmwareWidget::installEnded, window.get(),
                         [this] { statusAtEnd = status(); });
    }
    EXPECT_TRUE(waitForIdle(*window));
}

void InstallRig::attach(const Probe& next) {
    if (probe) {
        bus->detach(probe);
    }
    probe = next.device;
    faulting = next.function;
    bus->attach(probe);
}

void InstallRig::poll() {
    QMetaObject::invokeMethod(window.get(), "poll", Qt::DirectConnection);
    EXPECT_TRUE(waitForIdle(*window));
}

QString InstallRig::status() const {
    return window->findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

QWidget* InstallRig::raisedPage() const {
    return window->findChild<QStackedWidget*>(QStringLiteral("pageStack"))->currentWidget();
}

QString InstallRig::serialLine() const {
    return window->findChild<QLabel*>(QStringLiteral("serialLabel"))->text();
}

const QList<UsbFrame>& InstallRig::cleanFrames() {
    if (!cleanRecorded) {
        cleanRecorded = true;
        attach(makeProbe());
        poll();
        const qsizetype boxes = watcher->boxes.size();
        probe->frameLog().clear();
        install(-1, FrameFault::Unplug);
        clean = probe->frameLog().frames();

        // Every frame the host sent passed the faulting function, and nothing failed.
        EXPECT_EQ(faulting->frames(), clean.size());
        EXPECT_EQ(watcher->boxes.size(), boxes);
    }
    return clean;
}

void InstallRig::install(int frame, FrameFault fault) {
    prepareInstall(frame < 0);
    faulting->arm(frame, fault);
    QTest::mouseClick(installButton(), Qt::LeftButton);
    EXPECT_TRUE(waitForIdle(*window));
    ++installs;
    if (faulting->fired()) {
        ++faultsInjected;
    }
    EXPECT_EQ(faulting->fired(), frame >= 0) << "the planned frame was never sent";
    faulting->disarm();
}

void InstallRig::runPoint(int frame, FrameFault fault) {
    const Outcome outcome = frame < 0 ? Outcome::success() : expected(frame, fault);
    attach(makeProbe());
    poll();
    expectShown();

    qsizetype boxes = watcher->boxes.size();
    install(frame, fault);
    expectAfterInstall(outcome, boxes);

    // Unplugged and plugged in again without a poll in between (a quick hand): the
    // window must still notice a new device.
    const std::shared_ptr<EmulatedDevice> before = probe;
    attach(powerCycled());
    EXPECT_EQ(before->openConnections(), 0);
    poll();
    expectShown();
    boxes = watcher->boxes.size();
    install(-1, fault);
    expectAfterInstall(Outcome::success(), boxes);
    expectNewFirmware();
    EXPECT_EQ(probe->openConnections(), 0);
}

void InstallRig::expectAfterInstall(const Outcome& outcome, qsizetype boxesBefore) {
    // The message reached the user in the page's box, and nothing else did.
    const QList<MessageBoxWatcher::Box> shown = watcher->boxes.mid(boxesBefore);
    if (outcome.installed) {
        EXPECT_TRUE(shown.isEmpty()) << shown.value(0).text.toStdString();
        expectSuccessShown();
    } else {
        ASSERT_EQ(shown.size(), 1) << outcome.message.toStdString();
        EXPECT_EQ(shown[0].title, QStringLiteral("Error"));
        EXPECT_EQ(shown[0].text, outcome.message);
        // One box for both generations' failures.
        EXPECT_EQ(shown[0].icon, QMessageBox::Warning);
    }
    // The page is ready for another install, the probe's pipes are closed and polling
    // runs: its timer is on and a poll puts its own text in the status line. The page's
    // own button, that is: a poll while the failure's box was open may already have seen
    // an unplugged probe and disabled the window's firmware box around the page.
    const QWidget* page = installButton();
    while (page != nullptr && !page->inherits("KVFirmwareWidget")) {
        page = page->parentWidget();
    }
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(installButton()->isEnabledTo(page->parentWidget()));
    EXPECT_TRUE(window->pollingEnabled);
    EXPECT_EQ(probe->openConnections(), 0);
    bool timerRunning = false;
    for (const QTimer* timer : window->findChildren<QTimer*>()) {
        timerRunning = timerRunning || (timer->isActive() && timer->interval() == 1000);
    }
    EXPECT_TRUE(timerRunning);
    window->setStatus(QStringLiteral("before the poll"), false);
    poll();
    // Ready, gone, or (the probe is read again after a failure) why it cannot be read.
    EXPECT_NE(status(), QStringLiteral("Before the poll."));
}
