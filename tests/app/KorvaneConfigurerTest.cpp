#include "app/KorvaneConfigurer.h"

#include "app/FocusRingStyle.h"
#include "app/TestPage.h"
#include "device/UsbHotplugMonitor.h"
#include "device/UsbIds.h"
#include "emu/EmulatedUsbBus.h"
#include "gen2/KV2FirmwareWidget.h"
#include "support/GuiTestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace {

const QString NO_DEVICES =
    QStringLiteral("No devices connected, attach the Korvane you wish to configure.");
// The designed text, then where to turn.
const QString MULTIPLE = QStringLiteral(
    "Multiple devices connected, attach only one Korvane. Or install on one of several with "
    "kvtool-cli --serial ('kvtool-cli list' shows their serial numbers).");
const QString READY = QStringLiteral("Device ready.");
const QString SERIAL_CAPTION = QStringLiteral("<b>Serial Number:</b> ");

std::shared_ptr<EmulatedDevice> probe(quint16 productId, const char* serial) {
    return std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, productId,
                                            QString::fromLatin1(serial));
}

class KorvaneConfigurerTest : public ::testing::Test {
protected:
    KorvaneConfigurerTest() : bus(new EmulatedUsbBus), backend(std::unique_ptr<UsbBackend>(bus)) {}

    void createWindow() {
        FirmwarePages pages;
        pages.generation2 = [this](QWidget* parent) { return page2 = new TestPage(parent); };
        pages.generation3 = [this](QWidget* parent) { return page3 = new TestPage(parent); };
        window = std::make_unique<KorvaneConfigurer>(nullptr, pages);
        ASSERT_TRUE(waitForIdle(*window));
    }

    // One poll, and the read it asks the worker for.
    void poll() {
        QMetaObject::invokeMethod(window.get(), "poll", Qt::DirectConnection);
        ASSERT_TRUE(waitForIdle(*window));
    }

    template <typename T>
    T* child(const char* name) const {
        T* widget = window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString status() const { return child<QLabel>("statusLabel")->text(); }
    QString serialLine() const { return child<QLabel>("serialLabel")->text(); }
    QWidget* raisedPage() const { return child<QStackedWidget>("pageStack")->currentWidget(); }
    QWidget* blankPage() const { return child<QWidget>("blankPage"); }
    bool hardwareEnabled() const { return child<QGroupBox>("hardwareBox")->isEnabled(); }
    bool firmwareEnabled() const { return child<QGroupBox>("firmwareBox")->isEnabled(); }
    QProgressBar* bar() const { return child<QProgressBar>("progressBar"); }

    void expectIdle(const QString& expectedStatus) {
        EXPECT_EQ(status(), expectedStatus);
        EXPECT_EQ(serialLine(), SERIAL_CAPTION);
        EXPECT_EQ(raisedPage(), blankPage());
        EXPECT_FALSE(hardwareEnabled());
        EXPECT_FALSE(firmwareEnabled());
    }
    void expectReady(QWidget* page, const QString& serial) {
        EXPECT_EQ(status(), READY);
        EXPECT_EQ(serialLine(), SERIAL_CAPTION + serial);
        EXPECT_EQ(raisedPage(), page);
        EXPECT_TRUE(hardwareEnabled());
        EXPECT_TRUE(firmwareEnabled());
    }

    EmulatedUsbBus* bus;
    ScopedUsbBackend backend;
    std::unique_ptr<KorvaneConfigurer> window;
    TestPage* page2 = nullptr;
    TestPage* page3 = nullptr;
};

TEST_F(KorvaneConfigurerTest, WindowFrameCaptionAndTree) {
    createWindow();
    EXPECT_EQ(window->objectName(), QStringLiteral("korvane-configurer"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Brenmoor Korvane Configurer"));
    // Opens at the designed size and may be made larger, or smaller down to what a
    // 1024x768 screen at a desktop scale of 2 offers (512x384, less a title bar).
    EXPECT_EQ(window->size(), QSize(400, 480));
    EXPECT_LE(window->minimumWidth(), 512);
    EXPECT_LE(window->minimumHeight(), 384 - 40);
    EXPECT_GT(window->maximumHeight(), 480);
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_EQ(child<QLabel>("serialLabel")->toolTip(),
              QStringLiteral("The serial number of the currently connected Korvane"));
    EXPECT_EQ(child<QGroupBox>("hardwareBox")->title(), QStringLiteral("Hardware"));
    EXPECT_EQ(child<QGroupBox>("firmwareBox")->title(), QStringLiteral("Firmware"));
    EXPECT_FALSE(bar()->isTextVisible());
    EXPECT_EQ(bar()->maximum(), 100);

    auto* stack = child<QStackedWidget>("pageStack");
    ASSERT_EQ(stack->count(), 3);
    EXPECT_EQ(stack->widget(0), blankPage());
    EXPECT_EQ(stack->widget(1), page2);
    EXPECT_EQ(stack->widget(2), page3);

    const QList<QTimer*> timers = window->findChildren<QTimer*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(timers.size(), 1);
    EXPECT_EQ(timers.first()->interval(), 1000);
    EXPECT_TRUE(timers.first()->isActive());
    EXPECT_FALSE(timers.first()->isSingleShot());
}

TEST_F(KorvaneConfigurerTest, NoProbeAtStart) {
    bus->attach(std::make_shared<EmulatedDevice>(0x046D, 0xC52B, QStringLiteral("mouse")));
    createWindow();
    expectIdle(NO_DEVICES);
    EXPECT_EQ(page2->calls + page3->calls, 0);
}

TEST_F(KorvaneConfigurerTest, OneProbeAtStartIsReadDuringConstruction) {
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    createWindow();
    EXPECT_EQ(page3->calls, 1);
    EXPECT_EQ(page3->lastDevice.serialNumber(), QStringLiteral("K3000001"));
    EXPECT_FALSE(window->isVisible());
    expectReady(page3, QStringLiteral("K3000001"));

    // Nothing changes: every poll re-enumerates but leaves the page alone.
    poll();
    poll();
    EXPECT_EQ(page3->calls, 1);
    expectReady(page3, QStringLiteral("K3000001"));
}

TEST_F(KorvaneConfigurerTest, EachGenerationRaisesItsOwnPage) {
    auto gen2 = bus->attach(probe(PRODUCT_ID_GENERATION2, "K2000001"));
    createWindow();
    expectReady(page2, QStringLiteral("K2000001"));
    bus->detach(gen2);
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    poll();
    expectReady(page3, QStringLiteral("K3000001"));
    EXPECT_EQ(page2->calls, 1);
    EXPECT_EQ(page3->calls, 1);
}

// A USB device comes or goes: the window looks at once instead of at the next tick.
TEST_F(KorvaneConfigurerTest, AnAttachOrDetachEventPollsAtOnce) {
    createWindow();
    expectIdle(NO_DEVICES);
    auto* hotplug = window->findChild<UsbHotplugMonitor*>();
    ASSERT_NE(hotplug, nullptr);
    auto device = bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    Q_EMIT hotplug->devicesChanged();
    ASSERT_TRUE(waitForIdle(*window));
    expectReady(page3, QStringLiteral("K3000001"));
    bus->detach(device);
    Q_EMIT hotplug->devicesChanged();
    expectIdle(NO_DEVICES);
}

TEST_F(KorvaneConfigurerTest, UnplugAndReplugReReadsTheProbe) {
    auto device = bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    createWindow();
    bus->detach(device);
    poll();
    expectIdle(NO_DEVICES);
    bus->attach(device);
    poll();
    EXPECT_EQ(page3->calls, 2);
    expectReady(page3, QStringLiteral("K3000001"));
}

TEST_F(KorvaneConfigurerTest, TwoProbesThenOneRemovedReReadsTheOther) {
    auto first = bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000002"));
    createWindow();
    expectIdle(MULTIPLE);
    bus->detach(first);
    poll();
    EXPECT_EQ(page3->calls, 1);
    EXPECT_EQ(page3->lastDevice.serialNumber(), QStringLiteral("K3000002"));
    expectReady(page3, QStringLiteral("K3000002"));
}

TEST_F(KorvaneConfigurerTest, ADifferentProbeIsReadEvenWithoutUnplugging) {
    auto first = bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    createWindow();
    bus->detach(first);
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000009"));
    poll();
    EXPECT_EQ(page3->calls, 2);
    expectReady(page3, QStringLiteral("K3000009"));
}

TEST_F(KorvaneConfigurerTest, TheSameProbePluggedInAgainBetweenTwoPollsIsReadAgain) {
    // Out and in again within a second: the same serial number and product id, but a new
    // bus address, which the page keeps to open the probe for an install.
    auto first = bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    createWindow();
    const QString before = page3->lastDevice.devicePath();
    bus->detach(first);
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    poll();
    EXPECT_EQ(page3->calls, 2);
    EXPECT_NE(page3->lastDevice.devicePath(), before);
    EXPECT_EQ(page3->lastDevice.devicePath(), bus->enumerate().value(0).devicePath());
    poll();
    EXPECT_EQ(page3->calls, 2);
    expectReady(page3, QStringLiteral("K3000001"));
}

TEST_F(KorvaneConfigurerTest, AFailingReadOfANewProbeIsRetriedOnTheNextPoll) {
    createWindow();
    page3->failure = "read timed out";
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    poll();
    EXPECT_EQ(status(), QStringLiteral("Read timed out."));
    EXPECT_EQ(serialLine(), SERIAL_CAPTION + QStringLiteral("K3000001"));
    EXPECT_EQ(raisedPage(), page3);
    EXPECT_TRUE(hardwareEnabled());
    EXPECT_FALSE(firmwareEnabled());

    poll();
    EXPECT_EQ(page3->calls, 2);
    page3->failure.clear();
    poll();
    EXPECT_EQ(page3->calls, 3);
    expectReady(page3, QStringLiteral("K3000001"));
}

TEST_F(KorvaneConfigurerTest, AFailingReReadAfterDeviceInfoClearedIsNotRepeated) {
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    createWindow();
    page3->failure = "read timed out";
    window->deviceInfoCurrent = false;
    poll();
    EXPECT_EQ(page3->calls, 2);
    EXPECT_EQ(status(), QStringLiteral("Read timed out."));
    EXPECT_FALSE(firmwareEnabled());

    poll();
    EXPECT_EQ(page3->calls, 2);
    expectReady(page3, QStringLiteral("K3000001"));
}

TEST_F(KorvaneConfigurerTest, PollingDisabledFreezesTheWindow) {
    auto device = bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    createWindow();
    window->pollingEnabled = false;
    bus->detach(device);
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000002"));
    bus->attach(probe(PRODUCT_ID_GENERATION2, "K2000001"));
    poll();
    expectReady(page3, QStringLiteral("K3000001"));
    EXPECT_EQ(page3->calls, 1);

    window->pollingEnabled = true;
    poll();
    expectIdle(MULTIPLE);
}

TEST_F(KorvaneConfigurerTest, AProbeWithoutAPageIsShownButNotRead) {
    bus->attach(probe(0x0042, "K4000001"));
    createWindow();
    EXPECT_EQ(raisedPage(), blankPage());
    EXPECT_EQ(page2->calls + page3->calls, 0);
    EXPECT_TRUE(hardwareEnabled());
    EXPECT_FALSE(firmwareEnabled());
    EXPECT_EQ(serialLine(), SERIAL_CAPTION + QStringLiteral("K4000001"));
    EXPECT_EQ(status(), QStringLiteral("Unsupported Korvane model (product id 0x0042)."));
}

TEST_F(KorvaneConfigurerTest, AGeneration2ProbeInItsBootloaderRaisesTheGeneration2Page) {
    bus->attach(probe(PRODUCT_ID_GENERATION2_BOOTLOADER, "K2000001"));
    createWindow();
    EXPECT_EQ(page2->calls, 1);
    EXPECT_EQ(page2->lastDevice.productId, PRODUCT_ID_GENERATION2_BOOTLOADER);
    expectReady(page2, QStringLiteral("K2000001"));
}

TEST_F(KorvaneConfigurerTest, TheSameSerialNumberUnderAnotherProductIdIsReadAgain) {
    auto application = bus->attach(probe(PRODUCT_ID_GENERATION2, "K2000001"));
    createWindow();
    // The probe restarts into its bootloader and back, each time between two polls.
    bus->detach(application);
    auto bootloader = bus->attach(probe(PRODUCT_ID_GENERATION2_BOOTLOADER, "K2000001"));
    poll();
    EXPECT_EQ(page2->calls, 2);
    EXPECT_EQ(page2->lastDevice.productId, PRODUCT_ID_GENERATION2_BOOTLOADER);
    poll();
    EXPECT_EQ(page2->calls, 2);
    bus->detach(bootloader);
    bus->attach(probe(PRODUCT_ID_GENERATION2, "K2000001"));
    poll();
    EXPECT_EQ(page2->calls, 3);
    EXPECT_EQ(page2->lastDevice.productId, PRODUCT_ID_GENERATION2);
    expectReady(page2, QStringLiteral("K2000001"));
}

TEST_F(KorvaneConfigurerTest, SerialNumberIsShownAsTextNotMarkup) {
    bus->attach(probe(PRODUCT_ID_GENERATION3, "<i>x</i>&"));
    createWindow();
    EXPECT_EQ(serialLine(), SERIAL_CAPTION + QStringLiteral("&lt;i&gt;x&lt;/i&gt;&amp;"));
}

TEST_F(KorvaneConfigurerTest, SetStatusMakesSentences) {
    createWindow();
    window->setStatus(QStringLiteral("Firmware installed."), true);
    EXPECT_EQ(status(), QStringLiteral("Firmware installed."));
    window->setStatus(QStringLiteral("erasing"), false);
    EXPECT_EQ(status(), QStringLiteral("Erasing."));
    window->setStatus(QString(), true);
    EXPECT_EQ(status(), QString());
}

TEST_F(KorvaneConfigurerTest, ProgressConvention) {
    createWindow();
    window->progress(0, 100, "Erasing memory, do not remove Korvane", "bytes");
    EXPECT_EQ(status(), QStringLiteral("Erasing memory, do not remove Korvane."));
    EXPECT_EQ(bar()->maximum(), 100);
    EXPECT_EQ(bar()->value(), 0);
    window->progress(50, -1, nullptr, nullptr);
    EXPECT_EQ(bar()->value(), 50);
    EXPECT_EQ(status(), QStringLiteral("Erasing memory, do not remove Korvane."));
    window->progress(100, -1, nullptr, nullptr);
    EXPECT_EQ(bar()->value(), 0);
    EXPECT_EQ(status(), QString());

    window->progress(0, 16384, "Verifying firmware", "bytes");
    window->progress(8192, -1, nullptr, nullptr);
    EXPECT_EQ(bar()->maximum(), 16384);
    EXPECT_EQ(bar()->value(), 8192);
    EXPECT_EQ(status(), QStringLiteral("Verifying firmware."));

    // A task whose total is its first step is over at once.
    window->progress(0, 0, "Nothing to do", nullptr);
    EXPECT_EQ(bar()->value(), 0);
    EXPECT_EQ(status(), QString());
}

TEST_F(KorvaneConfigurerTest, TheTimerFollowsProbesLive) {
    createWindow();
    window->show();
    expectIdle(NO_DEVICES);
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000001"));
    ASSERT_TRUE(waitUntil([&] { return status() == READY; }));
    expectReady(page3, QStringLiteral("K3000001"));
    bus->attach(probe(PRODUCT_ID_GENERATION3, "K3000002"));
    ASSERT_TRUE(waitUntil([&] { return status() == MULTIPLE; }));
}

// The real window with its real pages, for what a user of assistive technology or a small
// screen meets.
class KorvaneConfigurerPages : public KorvaneConfigurerTest {
protected:
    void createStandardWindow() {
        window = std::make_unique<KorvaneConfigurer>(nullptr, FirmwarePages::standard());
        ASSERT_TRUE(waitForIdle(*window));
    }
};

// Every control is named and described for assistive technology, and on the generation-2
// page Tab moves from the chosen target to the chosen clocking to the button.
TEST_F(KorvaneConfigurerPages, EveryControlHasANameAndTabLandsOnTheChoices) {
    createStandardWindow();
    for (QWidget* control : window->findChildren<QWidget*>()) {
        const bool interactive = control->focusPolicy() != Qt::NoFocus &&
                                 !control->inherits("QScrollBar") &&
                                 !control->inherits("QScrollArea");
        if (!interactive && !control->inherits("QProgressBar") &&
            control->objectName() != u"statusLabel" && control->objectName() != u"serialLabel") {
            continue;
        }
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
        ASSERT_NE(accessible, nullptr) << control->metaObject()->className();
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty())
            << control->metaObject()->className() << " " << control->objectName().toStdString();
        EXPECT_NE(accessible->text(QAccessible::Name), QStringLiteral("..."));
    }
    auto* page = window->findChild<KV2FirmwareWidget*>();
    ASSERT_NE(page, nullptr);
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    child<QStackedWidget>("pageStack")->setCurrentWidget(page);
    child<QGroupBox>("firmwareBox")->setEnabled(true);
    auto* targets = page->findChild<QButtonGroup*>(QStringLiteral("targetGroup"));
    auto* clockings = page->findChild<QButtonGroup*>(QStringLiteral("clockingGroup"));
    targets->button(2)->setChecked(true);
    clockings->button(2)->setChecked(true);
    targets->checkedButton()->setFocus();
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == targets->checkedButton(); }))
        << (QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className()
                                        : "none");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), clockings->checkedButton());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(),
              page->findChild<QPushButton*>(QStringLiteral("installButton")));
    // Round the window, Tab stops only at controls: the page's scroll area is none (a
    // window that opens with it focused takes typing nowhere).
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_FALSE(QApplication::focusWidget()->inherits("QAbstractScrollArea"));
    }
}

// Made as small as it goes, the window keeps the serial number, the status line and the
// bar in view; the page scrolls.
TEST_F(KorvaneConfigurerPages, AtItsSmallestTheStatusAndTheBarStayInView) {
    createStandardWindow();
    window->show();
    window->resize(window->minimumSize());
    QCoreApplication::processEvents();
    const QRect inside = window->rect();
    for (const char* name : {"serialLabel", "statusLabel", "progressBar"}) {
        auto* widget = child<QWidget>(name);
        const QRect where(widget->mapTo(window.get(), QPoint(0, 0)), widget->size());
        EXPECT_TRUE(inside.contains(where)) << name;
    }
}

}  // namespace

// A default button that got the focus by Tab looks different from one without it (Fusion
// on its own draws both alike).
TEST(FocusRingStyle, AFocusedDefaultButtonIsDrawnDifferently) {
    FocusRingStyle style;
    const auto draw = [&](bool focused) {
        QImage image(160, 40, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QStyleOptionButton option;
        option.rect = image.rect();
        option.text = QStringLiteral("Install Firmware");
        option.features = QStyleOptionButton::DefaultButton;
        option.state = QStyle::State_Enabled | QStyle::State_Raised |
                       (focused ? QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange
                                : QStyle::State_None);
        option.palette = QApplication::palette();
        QPainter painter(&image);
        style.drawControl(QStyle::CE_PushButton, &option, &painter);
        return image;
    };
    EXPECT_NE(draw(true), draw(false));
}
