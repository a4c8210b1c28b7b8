// Writes screenshots of the main window with the generation-2 page, driving the emulated
// probe on virtual time. Run it on a display (for example under Xvfb):
//
//   xvfb-run -a build/dev/tests/gen2/gen2_screenshots docs/screenshots
//
// gen2-page-fresh.png    the page as built, before any probe was read
// gen2-ready.png         a probe running 1.5, Birch, Variable Speed and Adaptive
// gen2-downloading.png   programming, half-way
// gen2-installed.png     after installing Cedar, Maximum Speed (2.12)
// gen2-bootloader.png    a probe left in its bootloader by a failed verify
// gen2-recovering.png    the install that restores it, verifying
// gen2-restarting.png    the probe restarting into what it was given
// gen3-succeeded.png     a generation-3 install that went in
// close-during-install.png  a close asked for while an install runs (the whole screen)
#include "Gen2TestSupport.h"

#include "app/ErrorReportingApplication.h"
#include "app/FirmwareDirectory.h"
#include "app/FocusRingStyle.h"
#include "app/KorvaneConfigurer.h"
#include "emu/Gen3Probe.h"
#include "gen2/KV2FirmwareWidget.h"
#include "gen3/KV3FirmwareWidget.h"
#include "support/GuiTestSupport.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>

namespace {

class Screenshots : public Gen2EmulatorFixture {
public:
    explicit Screenshots(const QString& directory) : out(directory) {}

    bool run() {
        writeKV2DemoImages(files.path());
        firmwareDirectory = HPath(files.path());
        {
            KV2FirmwareWidget fresh;
            // As wide as in the window, as high as it asks to be.
            fresh.resize(366, fresh.sizeHint().height());
            save(fresh.grab(), "gen2-page-fresh.png");
        }
        auto device = attachProbe(1, 5, 0x0A, QStringLiteral("K2000042"));
        KorvaneConfigurer window(nullptr, FirmwarePages::standard());
        mainWindow = &window;
        window.show();
        waitForIdle(window);
        settle();
        save(window.grab(), "gen2-ready.png");

        auto* page = window.findChild<KV2FirmwareWidget*>();
        auto* bar = window.findChild<QProgressBar*>(QStringLiteral("progressBar"));
        auto* status = window.findChild<QLabel*>(QStringLiteral("statusLabel"));
        // Takes one screenshot once the status reads `phase` and the bar reached `step`
        // (told on the window's thread, after the window showed the report).
        const auto shootAt = [&](const char* phase, int step, const char* name) {
            auto taken = std::make_shared<bool>(false);
            QObject::connect(
                page, &KVFirmwareWidget::progress, &window,
                [&window, bar, status, phase, step, name, taken, this] {
                    if (!*taken && status->text() == QLatin1String(phase) && bar->value() >= step) {
                        *taken = true;
                        save(window.grab(), name);
                    }
                });
        };
        window.findChild<QButtonGroup*>(QStringLiteral("targetGroup"))->button(3)->setChecked(true);
        window.findChild<QButtonGroup*>(QStringLiteral("clockingGroup"))
            ->button(1)
            ->setChecked(true);
        shootAt("Programming.", 3840, "gen2-downloading.png");
        // While the probe restarts the worker is held back a little at each look for it, so
        // that the window's text for it stays on screen long enough to be taken.
        auto restartTaken = std::make_shared<bool>(false);
        clock.watch([restartTaken](int) {
            if (!*restartTaken && QThread::currentThread() != qApp->thread())
                QThread::msleep(20);
        });
        QTimer restartShot;
        QObject::connect(&restartShot, &QTimer::timeout, &window, [&, restartTaken] {
            if (!*restartTaken && status->text().contains(QStringLiteral("restarting"))) {
                *restartTaken = true;
                save(window.grab(), "gen2-restarting.png");
            }
        });
        restartShot.start(1);
        install(window, page);
        restartShot.stop();
        *restartTaken = true;
        clock.sleepMs(3000);
        poll(window);
        settle();
        save(window.grab(), "gen2-installed.png");

        probe(device).corruptBlock(100);
        dismissBoxes();
        install(window, page);
        clock.sleepMs(3000);
        poll(window);
        settle();
        save(window.grab(), "gen2-bootloader.png");

        shootAt("Verifying.", 3000, "gen2-recovering.png");
        install(window, page);

        // A generation-3 probe in its place, and an image for it in the working directory.
        bus->detach(device);
        Gen3ImageRecipe recipe;
        recipe.versionMajor = 1;
        recipe.versionMinor = 4;
        recipe.description = QStringLiteral("demo build");
        recipe.size = 192 * 1024;
        const QString image = files.filePath(QStringLiteral("kv3.bin"));
        writeGen3Image(image, generateGen3Image(recipe));
        // Its replies take a moment (of the virtual clock), so that the worker waits on the
        // clock and can be held there for a picture.
        Gen3ProbeOptions gen3Options;
        gen3Options.timing.latencyMs = 5;
        bus->attach(createGen3Probe(QStringLiteral("K3000042"), gen3Options));
        poll(window);
        auto* gen3 = window.findChild<KV3FirmwareWidget*>();
        gen3->findChild<QLineEdit*>()->setText(image);
        QObject::connect(gen3, &KVFirmwareWidget::installEnded, &window,
                         [&] { save(window.grab(), "gen3-succeeded.png"); });
        install(window, gen3);
        QObject::disconnect(gen3, &KVFirmwareWidget::installEnded, &window, nullptr);

        // A close while an install runs: the window stays and asks. The worker is held
        // meanwhile, so that the install is still under way in the picture.
        auto hold = std::make_shared<std::atomic<bool>>(false);
        clock.watch([hold](int) {
            while (*hold && QThread::currentThread() != qApp->thread())
                QThread::msleep(5);
        });
        bool asked = false;
        QObject::connect(gen3, &KVFirmwareWidget::progress, &window, [&, hold] {
            if (!asked && status->text().startsWith(QStringLiteral("Downloading"))) {
                asked = true;
                *hold = true;
                window.close();
                for (int i = 0; i < 50; ++i) {
                    QCoreApplication::processEvents();
                    QThread::msleep(2);
                }
                // The window as it is drawn, with the question over it where it stands.
                QPixmap picture = window.grab();
                if (QWidget* box = QApplication::activeModalWidget()) {
                    QPainter painter(&picture);
                    painter.drawPixmap(window.mapFromGlobal(box->frameGeometry().topLeft()),
                                       box->grab());
                    painter.end();
                    box->close();
                }
                save(picture, "close-during-install.png");
                *hold = false;
            }
        });
        install(window, gen3);
        mainWindow = nullptr;
        return ok;
    }

private:
    void settle() {
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
    }
    static void poll(KorvaneConfigurer& window) {
        QMetaObject::invokeMethod(&window, "poll", Qt::DirectConnection);
        waitForIdle(window);
    }
    // Clicks the page's install button and lets the install run to its end.
    static void install(const KorvaneConfigurer& window, QWidget* page) {
        page->findChild<QPushButton*>(QStringLiteral("installButton"))->click();
        waitForIdle(window, 60000);
    }
    // The failed install's warning box is answered as soon as it opens.
    void dismissBoxes() {
        auto* timer = new QTimer(QCoreApplication::instance());
        QObject::connect(timer, &QTimer::timeout, [] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box != nullptr && box->button(QMessageBox::Ok) != nullptr)
                box->button(QMessageBox::Ok)->click();
        });
        timer->start(10);
    }
    void save(const QPixmap& pixmap, const char* name) {
        const QString path = QDir(out).filePath(QLatin1String(name));
        if (!pixmap.save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ok = false;
            return;
        }
        std::printf("%s\n", qPrintable(path));
    }

    QString out;
    bool ok = true;
};

}  // namespace

int main(int argc, char** argv) {
    ErrorReportingApplication app(argc, argv);
    QApplication::setStyle(new FocusRingStyle);  // as kvtool draws itself
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: gen2_screenshots DIRECTORY\n");
        return 2;
    }
    QDir().mkpath(arguments[1]);
    Screenshots screenshots(arguments[1]);
    return screenshots.run() ? 0 : 1;
}
