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
#include "Gen2TestSupport.h"

#include "app/ErrorReportingApplication.h"
#include "app/FirmwareDirectory.h"
#include "app/KorvaneConfigurer.h"
#include "gen2/KV2FirmwareWidget.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

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
        settle();
        save(window.grab(), "gen2-ready.png");

        auto* page = window.findChild<KV2FirmwareWidget*>();
        auto* bar = window.findChild<QProgressBar*>(QStringLiteral("progressBar"));
        auto* status = window.findChild<QLabel*>(QStringLiteral("statusLabel"));
        // Takes one screenshot once the status reads `phase` and the bar reached `step`.
        const auto shootAt = [&](const char* phase, int step, const char* name) {
            auto taken = std::make_shared<bool>(false);
            clock.watch([&window, bar, status, phase, step, name, taken, this](int) {
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
        install(page);
        clock.sleepMs(3000);
        poll(window);
        settle();
        save(window.grab(), "gen2-installed.png");

        probe(device).corruptBlock(100);
        dismissBoxes();
        install(page);
        clock.sleepMs(3000);
        poll(window);
        settle();
        save(window.grab(), "gen2-bootloader.png");

        shootAt("Verifying.", 3000, "gen2-recovering.png");
        install(page);
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
    }
    static void install(KV2FirmwareWidget* page) {
        page->findChild<QPushButton*>(QStringLiteral("installButton"))->click();
    }
    // The failed install's warning box is answered as soon as it opens.
    void dismissBoxes() {
        auto* timer = new QTimer(QCoreApplication::instance());
        QObject::connect(timer, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
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
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: gen2_screenshots DIRECTORY\n");
        return 2;
    }
    QDir().mkpath(arguments[1]);
    Screenshots screenshots(arguments[1]);
    return screenshots.run() ? 0 : 1;
}
