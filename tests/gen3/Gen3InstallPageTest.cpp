// Installs through the generation-3 page of the real main window, clicked like a user
// would, against the emulated loader on the emulated bus (virtual time).
#include "Gen3ProbeFixture.h"
#include "PageTestSupport.h"

#include "app/ErrorReporter.h"
#include "app/KorvaneConfigurer.h"
#include "device/FtdiProtocol.h"
#include "gen3/ImageFile.h"
#include "gen3/KV3FirmwareWidget.h"
#include "support/GuiTestSupport.h"

#include <QProgressBar>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

constexpr int IMAGE_SIZE = 20000;  // two full chunks and a short one

const char* const ERASING = "Erasing memory, do not remove Korvane.";
const char* const DOWNLOADING = "Downloading firmware, do not remove Korvane.";
const char* const VERIFYING = "Verifying firmware.";

// What the window showed after one progress report, and the state around it.
struct Shown {
    QString status;
    int maximum = 0;
    int value = 0;
    friend bool operator==(const Shown&, const Shown&) = default;
    friend void PrintTo(const Shown& s, std::ostream* os) {
        *os << '"' << s.status.toStdString() << "\" " << s.value << '/' << s.maximum;
    }
};

std::vector<Shown> phase(const char* status, const std::vector<int>& positions) {
    std::vector<Shown> shown{{QLatin1String(status), IMAGE_SIZE, 0}};
    for (const int position : positions) {
        shown.push_back({QLatin1String(status), IMAGE_SIZE, position});
    }
    shown.push_back({QString(), IMAGE_SIZE, 0});  // the end resets the display
    return shown;
}

class Gen3InstallTest : public ::testing::Test, public Gen3ProbeFixture {
protected:
    void SetUp() override {
        previousReporter = setErrorReporter([this](const HException& error) {
            errors << QString::fromLatin1(error.messageText());
        });
    }
    void TearDown() override {
        window.reset();
        mainWindow = nullptr;
        setErrorReporter(previousReporter);
    }

    // The real main window with the real generation-3 page, showing the probe.
    void createWindow() {
        FirmwarePages pages;
        pages.generation3 = [this](QWidget* parent) {
            return page = new KV3FirmwareWidget(parent);
        };
        window = std::make_unique<KorvaneConfigurer>(nullptr, pages);
        mainWindow = window.get();
        widgets = std::make_unique<PageWidgets>(page);
        window->show();
        ASSERT_TRUE(waitForIdle(*window));
        statusLabel = window->findChild<QLabel*>(QStringLiteral("statusLabel"));
        bar = window->findChild<QProgressBar*>();
        QObject::connect(page, &KVFirmwareWidget::progress, page, [this] {
            shown.push_back({statusLabel->text(), bar->maximum(), bar->value()});
            pollingDuringInstall << mainWindow->pollingEnabled;
            buttonDuringInstall << widgets->installButton->isEnabled();
            deviceInfoCurrentDuringInstall << mainWindow->deviceInfoCurrent;
        });
    }

    // A poll, and the read it asks the window's worker for.
    void poll() {
        QMetaObject::invokeMethod(window.get(), "poll", Qt::DirectConnection);
        ASSERT_TRUE(waitForIdle(*window));
    }
    // A click, and the install it starts on the worker until the page is usable again.
    void click() {
        QTest::mouseClick(widgets->installButton, Qt::LeftButton);
        ASSERT_TRUE(waitForIdle(*window));
    }

    // After any install, successful or not.
    void expectRestored() {
        EXPECT_TRUE(widgets->installButton->isEnabled());
        EXPECT_TRUE(mainWindow->pollingEnabled);
        EXPECT_EQ(device->openConnections(), 0);  // the link is closed
        EXPECT_EQ(bar->value(), 0);
        // An install that went in says so; a step that failed has reset the display, and
        // a failure before any step left it.
        EXPECT_EQ(statusLabel->text(), errors.isEmpty() ? QStringLiteral("Firmware installed.")
                                       : shown.empty()  ? QStringLiteral("Device ready.")
                                                        : QString());
    }

    ScopedWorkingDirectory cwd;
    ErrorReporter previousReporter;
    QStringList errors;
    std::unique_ptr<KorvaneConfigurer> window;
    KV3FirmwareWidget* page = nullptr;
    std::unique_ptr<PageWidgets> widgets;
    QLabel* statusLabel = nullptr;
    QProgressBar* bar = nullptr;
    std::vector<Shown> shown;
    QList<bool> pollingDuringInstall;
    QList<bool> buttonDuringInstall;
    QList<bool> deviceInfoCurrentDuringInstall;
};

TEST_F(Gen3InstallTest, AClickInstallsTheImageAndTheNextPollShowsIt) {
    attachProbe();
    const QByteArray image = testImage(IMAGE_SIZE, 2, 10, QStringLiteral("new"));
    cwd.write(QStringLiteral("kv3.bin"), image);
    createWindow();
    EXPECT_EQ(widgets->installedLabel->text(), versionLabel(QStringLiteral("1.3 - factory build")));
    EXPECT_EQ(widgets->imageInfoLabel->text(), versionLabel(QStringLiteral("2.10 - new")));
    EXPECT_EQ(statusLabel->text(), QStringLiteral("Device ready."));

    click();
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    EXPECT_EQ(loader->memory().left(IMAGE_SIZE), image);
    expectRestored();
    EXPECT_FALSE(mainWindow->deviceInfoCurrent);

    // Polling was suspended and the button disabled for the whole install; the probe was
    // to be re-read only once the install had succeeded.
    ASSERT_FALSE(pollingDuringInstall.isEmpty());
    EXPECT_FALSE(pollingDuringInstall.contains(true));
    EXPECT_FALSE(buttonDuringInstall.contains(true));
    EXPECT_FALSE(deviceInfoCurrentDuringInstall.contains(false));

    // Each phase from the window's point of view, one step per chunk.
    std::vector<Shown> expected;
    for (const char* status : {ERASING, DOWNLOADING, VERIFYING}) {
        const std::vector<Shown> steps = phase(status, {8192, 16384});
        expected.insert(expected.end(), steps.begin(), steps.end());
    }
    EXPECT_EQ(shown, expected);

    // The loader saw the sequence, chunk by chunk from 0x2000.
    QList<Gen3Loader::Command> sequence = loader->commandLog();
    sequence.removeIf(
        [](const Gen3Loader::Command& c) { return c.command == LoaderCommand::Info; });
    QList<std::tuple<LoaderCommand, quint32, quint32>> seen;
    for (const Gen3Loader::Command& c : sequence) {
        seen.append({c.command, c.address, c.count});
    }
    using C = LoaderCommand;
    const QList<std::tuple<C, quint32, quint32>> expectedCommands = {
        {C::Connect, 0, 0},       {C::Erase, 0x2000, 8192}, {C::Erase, 0x4000, 8192},
        {C::Erase, 0x6000, 3616}, {C::Write, 0x2000, 8192}, {C::Write, 0x4000, 8192},
        {C::Write, 0x6000, 3616}, {C::Crc, 0x2000, 8192},   {C::Crc, 0x4000, 8192},
        {C::Crc, 0x6000, 3616},   {C::Disconnect, 0, 0}};
    EXPECT_EQ(seen, expectedCommands);

    poll();
    EXPECT_EQ(widgets->installedLabel->text(), versionLabel(QStringLiteral("2.10 - new")));
    EXPECT_TRUE(mainWindow->deviceInfoCurrent);
    EXPECT_EQ(statusLabel->text(), QStringLiteral("Device ready."));
}

TEST_F(Gen3InstallTest, AProbeWithoutAnImageShowsNotInstalledAndMarkupIsEscaped) {
    Gen3ProbeOptions options = instantOptions();
    options.installed = false;
    attachProbe(options);
    createWindow();
    EXPECT_EQ(widgets->installedLabel->text(), notInstalledLabel());

    bus->detachAll();
    poll();
    options.installed = true;
    options.description = QStringLiteral("<b>big</b>");
    attachProbe(options);
    poll();
    EXPECT_EQ(widgets->installedLabel->text(),
              versionLabel(QStringLiteral("1.3 - &lt;b&gt;big&lt;/b&gt;")));
}

TEST_F(Gen3InstallTest, AFailedQueryChangesNeitherTheLabelNorTheProbeToInstallOn) {
    attachProbe();
    const auto first = device;
    Gen3Loader* firstLoader = loader;
    cwd.write(QStringLiteral("kv3.bin"), testImage(100));
    createWindow();
    const QString label = widgets->installedLabel->text();

    // A second probe whose loader never answers the query.
    Gen3ProbeOptions silent = instantOptions();
    silent.faults = *Gen3LoaderFault::parseList(QStringLiteral("info-silent@*"));
    const auto second = bus->attach(createGen3Probe(QStringLiteral("K3000002"), silent));
    const UsbDeviceInfo secondRecord = bus->enumerate().last();
    EXPECT_EQ(thrownMessage([&] { page->firmwareReader()(secondRecord); }), "read timed out");
    EXPECT_EQ(widgets->installedLabel->text(), label);

    device = first;
    click();
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    EXPECT_EQ(firstLoader->commands(LoaderCommand::Disconnect).size(), 1);
    EXPECT_TRUE(gen3LoaderOf(*second)->commands(LoaderCommand::Connect).isEmpty());
}

// The loader does not answer the query of the window's first poll: the status line says
// so and the next tick reads the probe.
TEST_F(Gen3InstallTest, AQueryThatFailsInAPollIsShownAndTriedAgain) {
    Gen3ProbeOptions options = instantOptions();
    options.faults = *Gen3LoaderFault::parseList(QStringLiteral("info-silent@1"));
    attachProbe(options);
    createWindow();
    EXPECT_EQ(statusLabel->text(), QStringLiteral("Read timed out."));
    const QString before = widgets->installedLabel->text();
    poll();
    EXPECT_EQ(statusLabel->text(), QStringLiteral("Device ready."));
    EXPECT_NE(widgets->installedLabel->text(), before);
    EXPECT_EQ(widgets->installedLabel->text(), versionLabel(QStringLiteral("1.3 - factory build")));
}

// One row of the failure tables, provoked through the emulator.
struct FailureCase {
    const char* name;
    std::function<void(Gen3InstallTest&)> arm;
    const char* message;
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class InstallFailure : public Gen3InstallTest, public ::testing::WithParamInterface<FailureCase> {};

std::function<void(Gen3InstallTest&)> loaderFault(const char* fault) {
    return [fault](Gen3InstallTest& test) {
        test.loader->injectFault(*Gen3LoaderFault::parse(QLatin1String(fault)));
    };
}

TEST_P(InstallFailure, EndsInTheErrorReportWithButtonAndPollingRestored) {
    attachProbe();
    cwd.write(QStringLiteral("kv3.bin"), testImage(IMAGE_SIZE));
    createWindow();
    GetParam().arm(*this);
    click();
    EXPECT_EQ(errors, QStringList(QLatin1String(GetParam().message)));
    expectRestored();
    // The probe is read again: what a failed install left of it is what the page shows next.
    EXPECT_FALSE(mainWindow->deviceInfoCurrent);
    EXPECT_FALSE(pollingDuringInstall.contains(true));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallFailure,
    ::testing::Values(
        FailureCase{"openBusy",
                    [](Gen3InstallTest& t) { t.device->faults().refuseOpen(OpenRefusal::Busy, 1); },
                    "device already in use"},
        FailureCase{
            "openRefused",
            [](Gen3InstallTest& t) { t.device->faults().refuseOpen(OpenRefusal::Other, 1); },
            "cannot open device driver"},
        FailureCase{"purgeRefused",
                    [](Gen3InstallTest& t) {
                        t.device->faults().failVendorRequest(ftdi::REQUEST_RESET, ftdi::PURGE_RX,
                                                             1);
                    },
                    "cannot purge RX"},
        FailureCase{"writeFails",
                    [](Gen3InstallTest& t) {
                        t.device->faults().inject(UsbFrame::Direction::Out, TransferFault::fail());
                    },
                    "write timed out"},
        FailureCase{"connectTag", loaderFault("connect-tag"),
                    "connect failed, unexpected tag returned"},
        FailureCase{"connectStatus0", loaderFault("connect-fail"), "connect failed"},
        FailureCase{"connectBusy10", [](Gen3InstallTest& t) { t.loader->setBusyReplies(10); },
                    "connect failed"},
        FailureCase{"busyThenTag",
                    [](Gen3InstallTest& t) {
                        t.loader->setBusyReplies(3);
                        loaderFault("connect-tag@3")(t);
                    },
                    "connect failed, unexpected tag returned"},
        FailureCase{"connectSilent", loaderFault("connect-silent"), "read timed out"},
        FailureCase{"eraseTag", loaderFault("erase-tag@2"),
                    "Erase failed : memory erase failed, unexpected tag returned"},
        FailureCase{"eraseStatus0", loaderFault("erase-fail"),
                    "Erase failed : memory erase failed"},
        FailureCase{"eraseShort", loaderFault("erase-short@3"), "Erase failed : read timed out"},
        FailureCase{"writeTag", loaderFault("write-tag@3"),
                    "Download failed : memory write failed, unexpected tag returned"},
        FailureCase{"writeStatus0", loaderFault("write-fail@2"),
                    "Download failed : memory write failed"},
        FailureCase{"writeSilent", loaderFault("write-silent"), "Download failed : read timed out"},
        FailureCase{"unplugMidDownload", loaderFault("unplug@2"),
                    "Download failed : write timed out"},
        FailureCase{"crcMismatch", loaderFault("crc-mismatch@2"),
                    "Verify failed : crc check mismatch"},
        FailureCase{"crcShort", loaderFault("crc-short@3"), "Verify failed : read timed out"},
        FailureCase{"disconnectTag", loaderFault("disconnect-tag"),
                    "disconnect failed, unexpected tag returned"},
        FailureCase{"disconnectStatus0", loaderFault("disconnect-fail"), "disconnect failed"},
        FailureCase{"disconnectSilent", loaderFault("disconnect-silent"), "read timed out"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(Gen3InstallTest, AFailingStepResetsTheDisplayAfterTheChunksItDid) {
    attachProbe();
    cwd.write(QStringLiteral("kv3.bin"), testImage(IMAGE_SIZE));
    createWindow();
    loader->injectFault(*Gen3LoaderFault::parse(QStringLiteral("crc-mismatch@2")));
    click();
    std::vector<Shown> expected = phase(ERASING, {8192, 16384});
    const std::vector<Shown> download = phase(DOWNLOADING, {8192, 16384});
    expected.insert(expected.end(), download.begin(), download.end());
    const std::vector<Shown> verify = phase(VERIFYING, {8192});
    expected.insert(expected.end(), verify.begin(), verify.end());
    EXPECT_EQ(shown, expected);
    // No disconnect after a failure.
    EXPECT_TRUE(loader->commands(LoaderCommand::Disconnect).isEmpty());
}

TEST_F(Gen3InstallTest, AFileDeletedAfterItWasChosenCannotBeOpened) {
    attachProbe();
    const QString path = cwd.write(QStringLiteral("kv3.bin"), testImage(IMAGE_SIZE));
    createWindow();
    ASSERT_TRUE(widgets->installButton->isEnabled());
    const qsizetype framesBefore = device->frameLog().size();
    QFile::remove(path);
    click();
    EXPECT_EQ(errors, QStringList(QStringLiteral("cannot open ") + path));
    EXPECT_TRUE(widgets->installButton->isEnabled());
    EXPECT_TRUE(mainWindow->pollingEnabled);
    EXPECT_TRUE(pollingDuringInstall.isEmpty());
    EXPECT_EQ(device->frameLog().size(), framesBefore);
}

// Files that cannot be installed as read are refused before the probe is touched.
struct RefusedFile {
    const char* name;
    std::function<void(const QString& path)> replace;
    QString message;  // after the path
    bool labelValid;
    friend void PrintTo(const RefusedFile& c, std::ostream* os) { *os << c.name; }
};

class RefusedFiles : public Gen3InstallTest, public ::testing::WithParamInterface<RefusedFile> {};

TEST_P(RefusedFiles, NeverReachTheProbe) {
    attachProbe();
    const QString path = cwd.write(QStringLiteral("kv3.bin"), testImage(IMAGE_SIZE));
    createWindow();
    ASSERT_TRUE(widgets->installButton->isEnabled());
    const qsizetype framesBefore = device->frameLog().size();
    GetParam().replace(path);
    click();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors.first().startsWith(GetParam().message.arg(path)))
        << errors.first().toStdString();
    EXPECT_EQ(device->frameLog().size(), framesBefore);  // not even opened
    EXPECT_TRUE(loader->commands(LoaderCommand::Erase).isEmpty());
    EXPECT_TRUE(loader->commands(LoaderCommand::Write).isEmpty());
    EXPECT_EQ(widgets->installButton->isEnabled(), GetParam().labelValid);
    EXPECT_EQ(widgets->imageInfoLabel->text() == invalidFileLabel(), !GetParam().labelValid);
    EXPECT_TRUE(mainWindow->pollingEnabled);
    EXPECT_TRUE(pollingDuringInstall.isEmpty());
}

void overwrite(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Mends, RefusedFiles,
    ::testing::Values(
        RefusedFile{"replacedByGarbage",
                    [](const QString& path) { overwrite(path, QByteArray(IMAGE_SIZE, '\x5A')); },
                    QStringLiteral("not a valid firmware image: %1"), false},
        RefusedFile{"truncatedToHalfAHeader",
                    [](const QString& path) { overwrite(path, testImage(IMAGE_SIZE).left(32)); },
                    QStringLiteral("not a valid firmware image: %1"), false},
        // A sparse file: its size alone is refused, before anything is read.
        RefusedFile{"grownPastTheInstallableSize",
                    [](const QString& path) {
                        QFile file(path);
                        ASSERT_TRUE(file.resize(MAX_INSTALL_IMAGE_SIZE + 1));
                    },
                    QStringLiteral("image too large: %1 ("), true},
        // Replaced by a file that promises more than it gives (sysfs files claim a page).
        RefusedFile{"shorterThanItsSize",
                    [](const QString& path) {
                        ASSERT_TRUE(QFile::remove(path));
                        ASSERT_TRUE(QFile::link(QStringLiteral("/sys/kernel/uevent_seqnum"), path));
                    },
                    QStringLiteral("cannot read %1"), true}),
    [](const ::testing::TestParamInfo<RefusedFile>& info) { return std::string(info.param.name); });

}  // namespace
