// The generation-2 page in the real main window, driving the emulated probe on virtual
// time (offscreen platform).
#include "Gen2TestSupport.h"

#include "app/FirmwareDirectory.h"
#include "app/KorvaneConfigurer.h"
#include "device/UsbIds.h"
#include "emu/RawPacketPipe.h"
#include "emu/ScriptedFunctions.h"
#include "gen2/KV2FirmwareWidget.h"
#include "gen2/KV2FolderRow.h"
#include "support/GuiTestSupport.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>

namespace {

const QString VERSION = QStringLiteral("<b>Installed Version: </b>");
const QString VARIANT = QStringLiteral("<b>Installed Variant: </b>");

// Answers every warning box that opens while it lives, noting what it showed and the
// window's state at that moment, so that an install that fails does not block the test.
class MessageBoxWatcher {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QList<QMessageBox::StandardButton> buttons;
        int barValue = -1;
        int barMaximum = -1;
        bool installEnabled = true;
        bool polling = true;
    };

    MessageBoxWatcher(QProgressBar* bar, QPushButton* install) {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this, bar, install] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible())
                return;
            Box seen;
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            for (QAbstractButton* button : box->buttons())
                seen.buttons.append(box->standardButton(button));
            seen.barValue = bar->value();
            seen.barMaximum = bar->maximum();
            seen.installEnabled = install->isEnabled();
            seen.polling = mainWindow->pollingEnabled;
            boxes.append(seen);
            box->button(QMessageBox::Ok)->click();
        });
        timer.start();
    }

    QList<Box> boxes;

private:
    QTimer timer;
};

class KV2FirmwareWidgetTest : public ::testing::Test, public Gen2EmulatorFixture {
protected:
    void SetUp() override {
        writeKV2DemoImages(files.path());
        firmwareDirectory = HPath(files.path());
    }
    void TearDown() override {
        window.reset();
        mainWindow = nullptr;
        firmwareDirectory = HPath();
    }

    void createWindow() {
        window = std::make_unique<KorvaneConfigurer>(nullptr, FirmwarePages::standard());
        mainWindow = window.get();
        page = window->findChild<KV2FirmwareWidget*>();
        ASSERT_NE(page, nullptr);
        watcher = std::make_unique<MessageBoxWatcher>(bar(), installButton());
        ASSERT_TRUE(waitForIdle(*window));
    }
    // A poll, and the read it asks the window's worker for.
    void poll() {
        QMetaObject::invokeMethod(window.get(), "poll", Qt::DirectConnection);
        ASSERT_TRUE(waitForIdle(*window));
    }
    // Lets a restarting probe come back, then polls.
    void settleAndPoll() {
        clock.sleepMs(3000);
        poll();
    }
    // A click, and the install it starts until the page is usable again.
    void install() {
        installButton()->click();
        ASSERT_TRUE(waitForIdle(*window));
    }

    template <typename T>
    T* child(const char* name) const {
        T* found = window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString versionLine() const { return child<QLabel>("installedVersionLabel")->text(); }
    QString variantLine() const { return child<QLabel>("installedVariantLabel")->text(); }
    QButtonGroup* targets() const { return child<QButtonGroup>("targetGroup"); }
    QButtonGroup* clockings() const { return child<QButtonGroup>("clockingGroup"); }
    // The generation-3 page has a button of the same name: look inside this page.
    QPushButton* installButton() const {
        auto* button = page->findChild<QPushButton*>(QStringLiteral("installButton"));
        EXPECT_NE(button, nullptr);
        return button;
    }
    QProgressBar* bar() const { return child<QProgressBar>("progressBar"); }
    QString status() const { return child<QLabel>("statusLabel")->text(); }
    QString serialLine() const { return child<QLabel>("serialLabel")->text(); }
    QWidget* raised() const { return child<QStackedWidget>("pageStack")->currentWidget(); }
    QList<MessageBoxWatcher::Box> boxes() const { return watcher->boxes; }
    void select(int target, int clocking) {
        targets()->button(target)->setChecked(true);
        clockings()->button(clocking)->setChecked(true);
    }
    void expectIdleAgain() {
        EXPECT_TRUE(installButton()->isEnabled());
        EXPECT_TRUE(window->pollingEnabled);
        EXPECT_FALSE(window->deviceInfoCurrent);
    }

    std::unique_ptr<KorvaneConfigurer> window;
    KV2FirmwareWidget* page = nullptr;
    std::unique_ptr<MessageBoxWatcher> watcher;
};

TEST_F(KV2FirmwareWidgetTest, AFreshPageSelectsAlderAtMaximumSpeed) {
    createWindow();
    EXPECT_STREQ(page->metaObject()->className(), "KV2FirmwareWidget");
    EXPECT_TRUE(page->inherits("KVFirmwareWidget"));
    EXPECT_EQ(child<QStackedWidget>("pageStack")->indexOf(page), 1);
    EXPECT_EQ(page->objectName(), QString());
    EXPECT_EQ(versionLine(), QString());
    EXPECT_EQ(variantLine(), QString());
    EXPECT_EQ(targets()->checkedId(), 1);
    EXPECT_EQ(clockings()->checkedId(), 1);
    EXPECT_EQ(page->imageFileName(), files.path() + QStringLiteral("/kv_alder_max.bin"));

    // The tree: a margin-less column holding one box with margins and spacing of 2.
    EXPECT_EQ(page->layout()->contentsMargins(), QMargins());
    auto* column = page->layout()->itemAt(0)->widget();
    ASSERT_NE(column, nullptr);
    EXPECT_EQ(column->layout()->contentsMargins(), QMargins(2, 2, 2, 2));
    EXPECT_EQ(column->layout()->spacing(), 2);
    EXPECT_EQ(child<QGroupBox>("installBox")->title(), QStringLiteral("Install Firmware"));
    EXPECT_TRUE(installButton()->isDefault());
    EXPECT_EQ(installButton()->text(), QStringLiteral("&Install Firmware"));
    const auto texts = [](QButtonGroup* group) {
        QStringList list;
        for (int id = 1; group->button(id) != nullptr; ++id)
            list << group->button(id)->text();
        return list;
    };
    EXPECT_EQ(texts(targets()), (QStringList{"Alder", "Birch", "Cedar"}));
    EXPECT_EQ(texts(clockings()), (QStringList{"Maximum Speed", "Variable Speed and Adaptive"}));
    auto* targetBox = qobject_cast<QGroupBox*>(targets()->button(1)->parentWidget());
    auto* clockingBox = qobject_cast<QGroupBox*>(clockings()->button(1)->parentWidget());
    ASSERT_TRUE(targetBox && clockingBox);
    EXPECT_EQ(targetBox->title(), QStringLiteral("Target"));
    EXPECT_EQ(clockingBox->title(), QStringLiteral("JTAG Clocking"));
    QLayout* row = targetBox->parentWidget()->layout();
    EXPECT_EQ(row->spacing(), 5);
    ASSERT_EQ(row->count(), 2);
    EXPECT_EQ(row->itemAt(0)->widget(), targetBox);  // target family left, clocking right
    EXPECT_EQ(row->itemAt(1)->widget(), clockingBox);
    bool instructions = false;
    for (QLabel* label : page->findChildren<QLabel*>()) {
        instructions = instructions ||
                       label->text() == QStringLiteral(
                                            "<p>Select the Brenmoor Korvane firmware variant you "
                                            "require and then click <b>Install Firmware</b> to "
                                            "download.</p>");
    }
    EXPECT_TRUE(instructions);

    const char* names[3][2] = {{"kv_alder_max.bin", "kv_alder_var.bin"},
                               {"kv_birch_max.bin", "kv_birch_var.bin"},
                               {"kv_cedar_max.bin", "kv_cedar_var.bin"}};
    for (int target = 1; target <= 3; ++target) {
        for (int clocking = 1; clocking <= 2; ++clocking) {
            select(target, clocking);
            const QString expected =
                files.path() + QLatin1Char('/') + QLatin1String(names[target - 1][clocking - 1]);
            EXPECT_EQ(page->imageFileName(), expected);
        }
    }
}

struct InstalledCase {
    quint16 major;
    quint16 minor;
    quint16 flags;
    const char* version;
    const char* variant;
    int target;
    int clocking;
    friend void PrintTo(const InstalledCase& c, std::ostream* os) {
        *os << c.version << " flags " << c.flags;
    }
};

class KV2FirmwareWidgetShows : public KV2FirmwareWidgetTest,
                               public ::testing::WithParamInterface<InstalledCase> {};

TEST_P(KV2FirmwareWidgetShows, TheInstalledVersionAndVariantAndSelectsIt) {
    const InstalledCase& c = GetParam();
    createWindow();
    select(c.target == 1 ? 2 : 1, c.clocking == 1 ? 2 : 1);  // anything else first
    attachProbe(c.major, c.minor, c.flags);
    poll();
    EXPECT_EQ(raised(), page);
    EXPECT_EQ(versionLine(), VERSION + QLatin1String(c.version));
    EXPECT_EQ(variantLine(), VARIANT + QLatin1String(c.variant));
    EXPECT_EQ(targets()->checkedId(), c.target);
    EXPECT_EQ(clockings()->checkedId(), c.clocking);
    EXPECT_EQ(status(), QStringLiteral("Device ready."));
}

INSTANTIATE_TEST_SUITE_P(
    Flags, KV2FirmwareWidgetShows,
    ::testing::Values(InstalledCase{1, 5, 0x0A, "1.5", "Birch, Variable Speed and Adaptive", 2, 2},
                      InstalledCase{2, 10, 0x03, "2.10", "Alder, Maximum Speed", 1, 1},
                      InstalledCase{0, 7, 0x00, "0.7", "Cedar, Maximum Speed", 3, 1},
                      InstalledCase{3, 0, 0xF109, "3.0", "Alder, Variable Speed and Adaptive", 1,
                                    2}));

TEST_F(KV2FirmwareWidgetTest, AProbeInItsBootloaderShowsThatNoApplicationRuns) {
    auto device = attachProbe(1, 5, 0x0A);
    createWindow();
    EXPECT_EQ(versionLine(), VERSION + QStringLiteral("1.5"));

    // The same probe, restarted into its bootloader, is read again.
    bus->detach(device);
    auto loader = attachBootloader();
    poll();
    EXPECT_EQ(raised(), page);
    EXPECT_EQ(versionLine(), VERSION + QStringLiteral("none (bootloader running)"));
    EXPECT_EQ(variantLine(), VARIANT + QStringLiteral("none"));
    EXPECT_EQ(targets()->checkedId(), 2);  // the choice stays
    EXPECT_EQ(clockings()->checkedId(), 2);
    EXPECT_EQ(serialLine(), QStringLiteral("<b>Serial Number:</b> K2000001"));
    EXPECT_EQ(status(), QStringLiteral("Device ready."));
    EXPECT_TRUE(child<QGroupBox>("firmwareBox")->isEnabled());

    // A probe of an unknown kind changes nothing.
    bus->detach(loader);
    auto script = std::make_unique<ScriptedPacketFunction>();
    script->answerNextPacket(kv2::bytesOf(ProbeInfo{7, 9, 9, 0}.encode()).toByteArray());
    bus->attach(std::make_shared<EmulatedDevice>(
        PROBE_VENDOR_ID, PRODUCT_ID_GENERATION2, QStringLiteral("K2000007"),
        std::make_unique<RawPacketPipe>(std::move(script))));
    poll();
    EXPECT_EQ(versionLine(), VERSION + QStringLiteral("none (bootloader running)"));
    EXPECT_EQ(serialLine(), QStringLiteral("<b>Serial Number:</b> K2000007"));
}

TEST_F(KV2FirmwareWidgetTest, AMissingImageIsReportedBeforeTheProbeIsTouched) {
    auto device = attachProbe();
    createWindow();
    const QString empty = files.filePath(QStringLiteral("empty"));
    ASSERT_TRUE(QDir().mkpath(empty));
    firmwareDirectory = HPath(empty);
    device->frameLog().clear();
    install();

    ASSERT_EQ(boxes().size(), 1);
    const MessageBoxWatcher::Box box = boxes().first();
    EXPECT_EQ(box.title, QStringLiteral("Error"));
    EXPECT_EQ(box.text,
              QStringLiteral("Cannot open ") + empty + QStringLiteral("/kv_birch_var.bin"));
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_EQ(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    EXPECT_FALSE(box.installEnabled);
    EXPECT_FALSE(box.polling);
    EXPECT_TRUE(device->frameLog().frames().isEmpty());
    expectIdleAgain();
}

TEST_F(KV2FirmwareWidgetTest, AnInstallShowsFirmwareInstalledForASecondThenTheNewFirmware) {
    auto device = attachProbe(1, 5, 0x0A, QStringLiteral("K2000042"));
    createWindow();
    select(3, 1);
    const auto digest = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly)
                   ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
                   : QByteArray();
    };
    const QByteArray before = digest(page->imageFileName());
    struct Pause {
        int ms;
        QString status;
        bool polling;
    };
    QList<Pause> pauses;
    // The window's own pauses (the worker waits on the same clock, for the probe).
    clock.watch([&](int ms) {
        if (QThread::currentThread() == qApp->thread())
            pauses.append({ms, status(), window->pollingEnabled});
    });
    install();

    EXPECT_TRUE(boxes().isEmpty());
    // Once the probe was back, "Firmware installed." stayed a second with polling off.
    ASSERT_FALSE(pauses.isEmpty());
    EXPECT_EQ(pauses.last().ms, 1000);
    EXPECT_EQ(pauses.last().status, QStringLiteral("Firmware installed."));
    EXPECT_FALSE(pauses.last().polling);
    EXPECT_EQ(status(), QStringLiteral("Firmware installed."));
    EXPECT_EQ(bar()->value(), 0);
    expectIdleAgain();
    EXPECT_EQ(digest(page->imageFileName()), before);

    settleAndPoll();
    EXPECT_EQ(versionLine(), VERSION + QStringLiteral("2.12"));
    EXPECT_EQ(variantLine(), VARIANT + QStringLiteral("Cedar, Maximum Speed"));
    EXPECT_EQ(serialLine(), QStringLiteral("<b>Serial Number:</b> K2000042"));
    EXPECT_EQ(status(), QStringLiteral("Device ready."));
    EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2);
}

TEST_F(KV2FirmwareWidgetTest, ABootloaderThatNeverAppearsLeavesTheBarAt59Of60) {
    auto device = attachProbe();
    probe(device).bootloaderNeverAppears();
    createWindow();
    install();
    ASSERT_EQ(boxes().size(), 1);
    EXPECT_EQ(boxes()[0].text, QStringLiteral("Bootloader restore failed"));
    EXPECT_EQ(boxes()[0].barValue, 59);
    EXPECT_EQ(boxes()[0].barMaximum, 60);
    EXPECT_EQ(status(), QStringLiteral("Waiting for bootloader to start."));
    expectIdleAgain();
    poll();
    EXPECT_EQ(status(),
              QStringLiteral("No devices connected, attach the Korvane you wish to configure."));
}

TEST_F(KV2FirmwareWidgetTest, AProbeLeftInItsBootloaderByAFailedVerifyIsRecovered) {
    auto device = attachProbe(1, 5, 0x0A, QStringLiteral("K2000042"));
    probe(device).corruptBlock(3);
    createWindow();
    install();
    ASSERT_EQ(boxes().size(), 1);
    EXPECT_EQ(boxes()[0].text, QStringLiteral("Application download verify failed"));
    expectIdleAgain();

    settleAndPoll();
    EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2_BOOTLOADER);
    EXPECT_EQ(raised(), page);
    EXPECT_EQ(versionLine(), VERSION + QStringLiteral("none (bootloader running)"));
    EXPECT_EQ(serialLine(), QStringLiteral("<b>Serial Number:</b> K2000042"));
    EXPECT_EQ(status(), QStringLiteral("Device ready."));
    EXPECT_TRUE(child<QGroupBox>("firmwareBox")->isEnabled());

    select(1, 2);
    install();
    EXPECT_EQ(boxes().size(), 1);
    EXPECT_EQ(status(), QStringLiteral("Firmware installed."));
    settleAndPoll();
    EXPECT_EQ(device->productId(), PRODUCT_ID_GENERATION2);
    EXPECT_EQ(versionLine(), VERSION + QStringLiteral("2.12"));
    EXPECT_EQ(variantLine(), VARIANT + QStringLiteral("Alder, Variable Speed and Adaptive"));
    EXPECT_EQ(serialLine(), QStringLiteral("<b>Serial Number:</b> K2000042"));
}

// What is installed cannot be read in a poll: the status line says why, nothing else
// changes, and the next tick reads the probe.
TEST_F(KV2FirmwareWidgetTest, AFailedReadInAPollIsShownAndTriedAgain) {
    const std::pair<std::function<void(const std::shared_ptr<EmulatedDevice>&)>, QString> rows[] = {
        {[](const auto& d) { d->faults().refuseOpen(OpenRefusal::Busy, 1); },
         QStringLiteral("Device already in use.")},
        {[](const auto& d) { d->faults().refuseOpen(OpenRefusal::Other, 1); },
         QStringLiteral("Cannot open device driver.")},
        {[](const auto& d) { probe(d).withholdReplies(1); },
         QStringLiteral("Read operation timed out.")}};
    for (const auto& [arm, shown] : rows) {
        auto device = attachProbe(1, 5, 0x0A);
        arm(device);
        createWindow();  // its first poll fails
        EXPECT_EQ(status(), shown);
        EXPECT_EQ(versionLine(), QString());
        poll();
        EXPECT_EQ(status(), QStringLiteral("Device ready."));
        EXPECT_EQ(versionLine(), VERSION + QStringLiteral("1.5"));
        window.reset();
        mainWindow = nullptr;
        bus->detach(device);
    }
}

// ---- Replies that come late or out of step --------------------------------------------

ReplyTiming lateReply(quint32 lateMs, int reply) {
    ReplyTiming timing;
    timing.latencyMs = 150;
    timing.lateMs = lateMs;
    timing.lateReply = reply;
    return timing;
}

struct OutOfStepCase {
    const char* name;
    ReplyTiming timing;
    bool ignoresEnter;     // the bootloader stays put on EnterBootloader
    const char* firstTry;  // what the first install ends in before the probe is recovered
    ReplyTiming recovery;  // the timing of the recovering install
};

void PrintTo(const OutOfStepCase& c, std::ostream* os) {
    *os << c.name;
}

class KV2FirmwareWidgetOutOfStep : public KV2FirmwareWidgetTest,
                                   public ::testing::WithParamInterface<OutOfStepCase> {
protected:
    // The image the page installs with the probe's serial number in it, and the number of
    // its blocks.
    KV2FirmwareImage installedImage(const QString& serial) const {
        KV2FirmwareImage image;
        image.load(HPath(page->imageFileName()), serial);
        return image;
    }
    static int lastBlock(const KV2FirmwareImage& image) {
        return int((image.data.size() - 512 + 31) / 32) - 1;
    }
    static RawPacketPipe* pipe(const std::shared_ptr<EmulatedDevice>& device) {
        return dynamic_cast<RawPacketPipe*>(device->function());
    }
};

// A reply read for the wrong request shifts every later one: a mismatch in the last block
// would be read by nothing. Whatever came late, an install must report it, and a later one
// (on time, or as late again) must recover the probe with exactly the image.
TEST_P(KV2FirmwareWidgetOutOfStep, NeverReportsACorruptDownloadAsInstalled) {
    const OutOfStepCase& c = GetParam();
    const QString serial = QStringLiteral("K2000042");
    auto device = attachProbe(1, 5, 0x0A, serial);
    pipe(device)->setReplyTiming(c.timing);
    probe(device).setIgnoresEnterBootloader(c.ignoresEnter);
    createWindow();
    select(3, 1);
    const KV2FirmwareImage image = installedImage(serial);
    probe(device).corruptBlock(lastBlock(image));

    install();
    ASSERT_EQ(boxes().size(), 1);
    EXPECT_EQ(boxes()[0].text, QLatin1String(c.firstTry));
    expectIdleAgain();
    settleAndPoll();  // the page reads the bootloader, not a late answer
    EXPECT_EQ(versionLine(), VERSION + QStringLiteral("none (bootloader running)"))
        << status().toStdString();
    EXPECT_EQ(status(), QStringLiteral("Device ready."));

    if (std::string(c.firstTry) != "Application download verify failed") {
        // The first install never reached the last block: try again with it wrong.
        probe(device).corruptBlock(lastBlock(image));
        install();
        ASSERT_EQ(boxes().size(), 2);
        EXPECT_EQ(boxes()[1].text, QStringLiteral("Application download verify failed"));
        settleAndPoll();
    }

    // The recovering install; the application it starts answers on time.
    pipe(device)->setReplyTiming(c.recovery);
    const qsizetype failures = boxes().size();
    install();
    EXPECT_EQ(boxes().size(), failures);
    EXPECT_EQ(status(), QStringLiteral("Firmware installed."));
    EXPECT_EQ(probe(device).applicationZone().left(image.data.size() - 512), image.data.mid(512));
    pipe(device)->setReplyTiming(lateReply(0, 1));
    settleAndPoll();
    EXPECT_EQ(versionLine(), VERSION + QStringLiteral("2.12"));
}

INSTANTIATE_TEST_SUITE_P(
    Gen2, KV2FirmwareWidgetOutOfStep,
    ::testing::Values(
        // The bootloader's first answer comes after the link's time-out.
        OutOfStepCase{"first_bootloader_answer_late", lateReply(10500, 1), false,
                      "Application download verify failed", lateReply(0, 1)},
        // The first Verify's answer comes after the link's time-out; the retry meets it.
        OutOfStepCase{"first_verify_answer_late", lateReply(10500, 2), true,
                      "read operation timed out", lateReply(0, 1)},
        // A slow bootloader: its first answer comes 17 s late, every time it starts.
        OutOfStepCase{"bootloader_answers_17_s_late", lateReply(17000, 1), false,
                      "Application download verify failed", lateReply(17000, 1)}),
    [](const ::testing::TestParamInfo<OutOfStepCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace

namespace {

// The page names the folder it installs from: without a chosen one, the first firmware
// folder that holds the variant's image. One the user chooses is taken and remembered
// under $XDG_CONFIG_HOME, and Default Folders goes back to searching. An image of the
// probe's variant newer than what it runs is announced.
TEST_F(KV2FirmwareWidgetTest, NamesItsFolderTakesTheUsersChoiceAndAnnouncesANewerImage) {
    firmwareDirectory = HPath();
    const QString folder =
        qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/kvtool/firmware");
    writeKV2DemoImages(folder);  // version 2.12 of every variant
    attachProbe(1, 5, 0x0A);     // 1.5, Birch, Variable Speed and Adaptive
    createWindow();
    poll();
    const auto folderLine = [this] { return child<QLabel>("folderLabel")->text(); };
    EXPECT_TRUE(folderLine().endsWith(folder)) << folderLine().toStdString();
    EXPECT_EQ(page->imageFileName(), folder + QStringLiteral("/kv_birch_var.bin"));
    // The generation-3 page has a line of the same name: look inside this page.
    auto* newer = page->findChild<QLabel*>(QStringLiteral("newerFirmwareLabel"));
    ASSERT_NE(newer, nullptr);
    EXPECT_TRUE(waitUntil([newer] { return !newer->isHidden(); }));
    EXPECT_EQ(newer->text(), QStringLiteral("Newer firmware available: 2.12"));

    const QString empty = files.filePath(QStringLiteral("empty"));
    ASSERT_TRUE(QDir().mkpath(empty));
    page->findChild<KV2FolderRow*>()->useFolder(empty);
    EXPECT_EQ(page->imageFileName(), empty + QStringLiteral("/kv_birch_var.bin"));
    EXPECT_TRUE(folderLine().endsWith(empty + QStringLiteral(" (no kv_birch_var.bin there)")));
    EXPECT_EQ(rememberedFirmwareFolder(), empty);

    child<QPushButton>("defaultFoldersButton")->click();
    EXPECT_TRUE(rememberedFirmwareFolder().isEmpty());
    EXPECT_TRUE(folderLine().endsWith(folder));
    EXPECT_FALSE(child<QPushButton>("defaultFoldersButton")->isEnabled());
}

}  // namespace
