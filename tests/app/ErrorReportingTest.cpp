#include "app/ErrorReporter.h"
#include "app/ErrorReportingApplication.h"
#include "app/KorvaneConfigurer.h"
#include "device/UsbIds.h"
#include "emu/EmulatedUsbBus.h"
#include "support/GuiTestSupport.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Restores the default reporter when a test ends.
class ReporterScope {
public:
    explicit ReporterScope(ErrorReporter reporter)
        : previous(setErrorReporter(std::move(reporter))) {}
    ~ReporterScope() { setErrorReporter(std::move(previous)); }

private:
    ErrorReporter previous;
};

ErrorReportingApplication* app() {
    return qobject_cast<ErrorReportingApplication*>(qApp);
}

TEST(ErrorReporting, AnExceptionFromASlotIsReportedAndTheLoopCarriesOn) {
    QStringList reported;
    ReporterScope scope([&](const HException& e) { reported << messageOf(e); });
    QObject context;
    int later = 0;
    QTimer::singleShot(0, &context, [] { throw HException("connect failed"); });
    QTimer::singleShot(5, &context, [] { throw HException("Verify failed : crc check mismatch"); });
    QTimer::singleShot(20, &context, [&] { ++later; });
    QTimer::singleShot(30, &context, [] { QCoreApplication::quit(); });
    ASSERT_NE(app(), nullptr);
    app()->runReportingErrors();
    EXPECT_EQ(reported, QStringList({"connect failed", "Verify failed : crc check mismatch"}));
    EXPECT_EQ(later, 1);
}

TEST(ErrorReporting, AGuardedButtonSlotReportsEachFailureAndStaysUsable) {
    QStringList reported;
    ReporterScope scope([&](const HException& e) { reported << messageOf(e); });
    QPushButton button(QStringLiteral("&Install Firmware"));
    int attempts = 0;
    QObject::connect(&button, &QPushButton::clicked, &button, reportingErrors([&] {
        ++attempts;
        throw HException("cannot open /x");
    }));
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(reported, QStringList({"cannot open /x", "cannot open /x"}));
    EXPECT_FALSE(button.isDown());
}

TEST(ErrorReporting, TheDefaultReporterShowsTheCriticalErrorBoxWithTheExactMessage) {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr) {
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->standardButtons();
            box->accept();
        }
    });
    closer.start(10);
    reportError(HException("memory erase failed, unexpected tag returned"));
    EXPECT_EQ(title, QStringLiteral("Error"));
    EXPECT_EQ(text, QStringLiteral("memory erase failed, unexpected tag returned"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

TEST(ErrorReporting, PollingGoesOnAfterAReportedError) {
    auto* bus = new EmulatedUsbBus;
    ScopedUsbBackend backend{std::unique_ptr<UsbBackend>(bus)};
    KorvaneConfigurer window;
    window.show();
    auto* status = window.findChild<QLabel*>(QStringLiteral("statusLabel"));
    ASSERT_NE(status, nullptr);

    QStringList reported;
    ReporterScope scope([&](const HException& e) { reported << messageOf(e); });
    QTimer::singleShot(0, &window, [] { throw HException("read timed out"); });
    ASSERT_TRUE(waitUntil([&] { return !reported.isEmpty(); }));
    EXPECT_EQ(reported, QStringList{"read timed out"});

    bus->attach(std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, 0x0042, QStringLiteral("K1")));
    bus->attach(std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, 0x0042, QStringLiteral("K2")));
    EXPECT_TRUE(waitUntil([&] {
        return status->text().startsWith(
            QStringLiteral("Multiple devices connected, attach only one Korvane."));
    }));
}

}  // namespace
