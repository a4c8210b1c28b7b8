// The generation-3 page and its file chooser on the offscreen platform: the widget tree,
// the texts, and what the image label and the install button show for the chosen file.
#include "Gen3ProbeFixture.h"
#include "PageTestSupport.h"

#include "gen3/FileChooser.h"
#include "gen3/KV3FirmwareWidget.h"

#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMetaMethod>
#include <QSpacerItem>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "tools/gen2/KV2ImageGenerator.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

QStringList ownMethods(const QMetaObject* meta) {
    QStringList methods;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        methods << QString::fromLatin1(method.methodSignature()) +
                       (method.methodType() == QMetaMethod::Signal ? u" signal" : u" slot");
    }
    return methods;
}

void expectMargins(QLayout* layout, int margin, const char* what) {
    ASSERT_NE(layout, nullptr) << what;
    EXPECT_EQ(layout->contentsMargins(), QMargins(margin, margin, margin, margin)) << what;
}

class PageTest : public ::testing::Test {
protected:
    std::unique_ptr<KV3FirmwareWidget> createPage() {
        auto page = std::make_unique<KV3FirmwareWidget>();
        widgets = std::make_unique<PageWidgets>(page.get());
        return page;
    }

    ScopedWorkingDirectory cwd;
    std::unique_ptr<PageWidgets> widgets;
};

TEST_F(PageTest, MetaObjectsNameTheClassesSignalsAndSlots) {
    const QMetaObject* page = &KV3FirmwareWidget::staticMetaObject;
    EXPECT_STREQ(page->className(), "KV3FirmwareWidget");
    EXPECT_STREQ(page->superClass()->className(), "KVFirmwareWidget");
    EXPECT_EQ(ownMethods(page), (QStringList{QStringLiteral("updateImageInfo() slot"),
                                             QStringLiteral("updateFirmware() slot")}));
    const QMetaObject* chooser = &FileChooser::staticMetaObject;
    EXPECT_STREQ(chooser->className(), "FileChooser");
    EXPECT_STREQ(chooser->superClass()->className(), "QWidget");
    EXPECT_EQ(ownMethods(chooser), (QStringList{QStringLiteral("textChanged(QString) signal"),
                                                QStringLiteral("browse() slot")}));
    const auto instance = createPage();
    EXPECT_TRUE(instance->inherits("KVFirmwareWidget"));
}

TEST_F(PageTest, WidgetTreeTextsToolTipsAndLayout) {
    const auto page = createPage();
    auto* pageLayout = qobject_cast<QVBoxLayout*>(page->layout());
    expectMargins(pageLayout, 0, "page");
    ASSERT_EQ(pageLayout->count(), 2);
    QWidget* content = pageLayout->itemAt(0)->widget();
    ASSERT_NE(content, nullptr);
    expectMargins(content->layout(), 2, "content");
    EXPECT_EQ(content->layout()->spacing(), 2);
    QSpacerItem* spacer = pageLayout->itemAt(1)->spacerItem();
    ASSERT_NE(spacer, nullptr);
    EXPECT_EQ(spacer->sizeHint(), QSize(0, 0));
    EXPECT_EQ(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    EXPECT_EQ(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

    // The content column: installed box, a blank row, install box.
    QLayout* column = content->layout();
    ASSERT_EQ(column->count(), 3);
    auto* installedBox = qobject_cast<QGroupBox*>(column->itemAt(0)->widget());
    auto* blankRow = qobject_cast<QLabel*>(column->itemAt(1)->widget());
    auto* installBox = qobject_cast<QGroupBox*>(column->itemAt(2)->widget());
    ASSERT_TRUE(installedBox && blankRow && installBox);
    EXPECT_EQ(installedBox->title(), QStringLiteral("Currently Installed Firmware"));
    EXPECT_TRUE(blankRow->text().isEmpty());
    EXPECT_EQ(installBox->title(), QStringLiteral("Install Firmware"));

    EXPECT_EQ(widgets->installedLabel->parentWidget(), installedBox);
    EXPECT_TRUE(widgets->installedLabel->text().isEmpty());
    EXPECT_EQ(widgets->installedLabel->toolTip(),
              QStringLiteral(
                  "The version description of the firmware currently installed on the Korvane"));

    // The chooser, the image's version, why a file is invalid (hidden for a valid one), and
    // the button row.
    ASSERT_EQ(installBox->layout()->count(), 4);
    auto* chooser = qobject_cast<FileChooser*>(installBox->layout()->itemAt(0)->widget());
    ASSERT_NE(chooser, nullptr);
    EXPECT_EQ(chooser->toolTip(),
              QStringLiteral("The firmware image file to install onto the Korvane"));
    EXPECT_EQ(installBox->layout()->itemAt(1)->widget(), widgets->imageInfoLabel);
    EXPECT_EQ(
        widgets->imageInfoLabel->toolTip(),
        QStringLiteral("The version description of the currently selected firmware image file"));
    EXPECT_EQ(installBox->layout()->itemAt(2)->widget()->objectName(),
              QStringLiteral("invalidReasonLabel"));
    QWidget* buttonRow = installBox->layout()->itemAt(3)->widget();
    ASSERT_NE(buttonRow, nullptr);
    ASSERT_EQ(buttonRow->layout()->count(), 2);
    auto* rowLabel = qobject_cast<QLabel*>(buttonRow->layout()->itemAt(0)->widget());
    ASSERT_NE(rowLabel, nullptr);
    EXPECT_TRUE(rowLabel->text().isEmpty());
    EXPECT_EQ(buttonRow->layout()->itemAt(1)->widget(), widgets->installButton);

    QPushButton* button = widgets->installButton;
    EXPECT_EQ(button->text(), QStringLiteral("&Install Firmware"));
    EXPECT_EQ(button->shortcut(), QKeySequence(Qt::ALT | Qt::Key_I));
    EXPECT_TRUE(button->isDefault());
    EXPECT_EQ(button->toolTip(),
              QStringLiteral("Click to download selected firmware image onto Korvane"));

    // The chooser: caption label with the line edit as buddy, the line edit, "...".
    auto* chooserLayout = qobject_cast<QHBoxLayout*>(chooser->layout());
    expectMargins(chooserLayout, 0, "chooser");
    EXPECT_EQ(chooserLayout->spacing(), 2);
    ASSERT_EQ(chooserLayout->count(), 3);
    auto* caption = qobject_cast<QLabel*>(chooserLayout->itemAt(0)->widget());
    ASSERT_NE(caption, nullptr);
    EXPECT_EQ(caption->text(), QStringLiteral("Firmware Image: "));
    EXPECT_EQ(caption->buddy(), widgets->lineEdit);
    EXPECT_EQ(chooserLayout->itemAt(1)->widget(), widgets->lineEdit);
    auto* browse = qobject_cast<QToolButton*>(chooserLayout->itemAt(2)->widget());
    ASSERT_NE(browse, nullptr);
    EXPECT_EQ(browse->text(), QStringLiteral("..."));
    EXPECT_EQ(browse->toolTip(), QStringLiteral("Browse"));
}

TEST_F(PageTest, StartsWithKv3BinInTheWorkingDirectory) {
    {
        const auto page = createPage();
        EXPECT_EQ(widgets->lineEdit->text(), cwd.path(QStringLiteral("kv3.bin")));
        EXPECT_TRUE(QDir::isAbsolutePath(widgets->lineEdit->text()));
        EXPECT_EQ(widgets->imageInfoLabel->text(), invalidFileLabel());
        EXPECT_FALSE(widgets->installButton->isEnabled());
    }
    cwd.write(QStringLiteral("kv3.bin"), testImage(100, 1, 4, QStringLiteral("build")));
    const auto page = createPage();
    EXPECT_EQ(widgets->imageInfoLabel->text(), versionLabel(QStringLiteral("1.4 - build")));
    EXPECT_TRUE(widgets->installButton->isEnabled());
}

struct FileCase {
    const char* name;
    std::function<QString(const ScopedWorkingDirectory&)> make;  // returns the path
    QString label;
    const char* reason = "";  // what the line under "Invalid File" says (its start)
    friend void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }
};

class ChosenFiles : public ::testing::TestWithParam<FileCase> {
protected:
    ScopedWorkingDirectory cwd;
};

TEST_P(ChosenFiles, ShowTheirVersionOrInvalidFile) {
    KV3FirmwareWidget page;
    const PageWidgets widgets(&page);
    const QString path = GetParam().make(cwd);
    widgets.lineEdit->setText(path);
    EXPECT_EQ(widgets.imageInfoLabel->text(), GetParam().label);
    EXPECT_EQ(widgets.installButton->isEnabled(), GetParam().label != invalidFileLabel());
    // Why a file is invalid, as kvtool-cli image tells it.
    const auto* reason = page.findChild<QLabel*>(QStringLiteral("invalidReasonLabel"));
    ASSERT_NE(reason, nullptr);
    const QLatin1String expected(GetParam().reason);
    EXPECT_TRUE(expected.isEmpty() ? reason->text().isEmpty() : reason->text().startsWith(expected))
        << reason->text().toStdString();
}

QByteArray withMagic(QByteArray image, quint32 magic) {
    FirmwareImageHeader header = *FirmwareImageHeader::fromBytes(image);
    header.magic = magic;
    return image.replace(0, FirmwareImageHeader::SIZE, header.toBytes());
}

INSTANTIATE_TEST_SUITE_P(
    Files, ChosenFiles,
    ::testing::Values(
        FileCase{"missing", [](auto& d) { return d.path(QStringLiteral("none.bin")); },
                 invalidFileLabel(), "cannot open "},
        FileCase{"empty", [](auto& d) { return d.write(QStringLiteral("e.bin"), QByteArray()); },
                 invalidFileLabel(), "0 bytes, shorter than an image header"},
        FileCase{"header63",
                 [](auto& d) { return d.write(QStringLiteral("s.bin"), testImage(64).left(63)); },
                 invalidFileLabel(), "63 bytes, shorter than an image header"},
        FileCase{"wrongMagic",
                 [](auto& d) {
                     return d.write(QStringLiteral("w.bin"), withMagic(testImage(64), 0xCAFEF00C));
                 },
                 invalidFileLabel(), "not a firmware image: no generation-3 header"},
        FileCase{"generation2Image",
                 [](auto& d) {
                     return d.write(QStringLiteral("g2.bin"), generateKV2Image(KV2ImageSpec{}));
                 },
                 invalidFileLabel(), "a generation-2 image"},
        FileCase{"directory", [](auto& d) { return d.path(QString()); }, invalidFileLabel(),
                 "cannot open "},
        FileCase{"headerOnly",
                 [](auto& d) { return d.write(QStringLiteral("h.bin"), testImage(64)); },
                 versionLabel(QStringLiteral("2.10 - x"))},
        FileCase{"fullDescription",
                 [](auto& d) {
                     return d.write(QStringLiteral("f.bin"),
                                    testImage(100, 0, 7, QString(40, u'D')));
                 },
                 versionLabel(QStringLiteral("0.7 - ") + QString(40, u'D'))},
        // Text from a file is shown as text, never taken as markup.
        FileCase{"markup",
                 [](auto& d) {
                     return d.write(QStringLiteral("m.bin"),
                                    testImage(100, 1, 0, QStringLiteral("<i>a</i> & b")));
                 },
                 versionLabel(QStringLiteral("1.0 - &lt;i&gt;a&lt;/i&gt; &amp; b"))}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

TEST_F(PageTest, TypingAPathEnablesTheButtonExactlyWhenItNamesAValidImage) {
    const QString image = cwd.write(QStringLiteral("a.bin"), testImage(8192));
    cwd.write(QStringLiteral("a.bi"), QByteArray(100, 'n'));  // a prefix that is no image
    const auto page = createPage();
    page->show();
    widgets->lineEdit->clear();
    QList<bool> enabledAfterEachKey;
    QObject::connect(widgets->lineEdit, &QLineEdit::textChanged, page.get(),
                     [&] { enabledAfterEachKey << widgets->installButton->isEnabled(); });
    QTest::keyClicks(widgets->lineEdit, image + QStringLiteral("x"));
    ASSERT_EQ(enabledAfterEachKey.size(), image.size() + 1);
    for (int i = 0; i < enabledAfterEachKey.size(); ++i) {
        EXPECT_EQ(enabledAfterEachKey[i], i == image.size() - 1) << i;
    }
    QTest::keyClick(widgets->lineEdit, Qt::Key_Backspace);
    EXPECT_TRUE(widgets->installButton->isEnabled());
    EXPECT_EQ(widgets->imageInfoLabel->text(), versionLabel(QStringLiteral("2.10 - x")));
}

// Hands the file dialog to `action` once it is open, while this object lives. A dialog
// still open a while later (or anything modal that `action` opened) is rejected, so a
// failing test cannot hang.
class DialogWatcher {
public:
    explicit DialogWatcher(std::function<void(QFileDialog*)> action) : action(std::move(action)) {
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { tick(); });
        timer.start(10);
    }

private:
    void tick() {
        QFileDialog* dialog = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) {
                dialog = found;
            }
        }
        if (dialog != nullptr && ticks == 0) {
            ticks = 1;
            // Outside this slot, so that the timer keeps watching while `action` runs.
            QTimer::singleShot(0, dialog, [this, dialog] { action(dialog); });
        } else if (ticks > 0 && ++ticks > 300) {
            ADD_FAILURE() << "the file dialog stayed open";
            if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                modal->reject();
            }
        }
    }

    std::function<void(QFileDialog*)> action;
    QTimer timer;
    int ticks = 0;  // since `action` was started; 0: not yet
};

TEST_F(PageTest, BrowseOpensTheDialogAtTheTextAndTakesTheChosenFile) {
    const QString chosen = cwd.write(QStringLiteral("chosen.bin"), testImage(100, 5, 6));
    const auto page = createPage();
    page->show();
    auto* chooser = page->findChild<FileChooser*>();
    ASSERT_NE(chooser, nullptr);
    QString title;
    QStringList filters;
    QString directory;
    const DialogWatcher watcher([&](QFileDialog* dialog) {
        title = dialog->windowTitle();
        filters = dialog->nameFilters();
        directory = dialog->directory().absolutePath();
        // Typed into the dialog's file-name field and accepted as its Open button would,
        // without the check that the file exists, which waits for the dialog's directory
        // listing to catch up.
        auto* nameField = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(nameField, nullptr);
        nameField->setText(chosen);
        static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
    });
    QList<QString> changes;
    QObject::connect(chooser, &FileChooser::textChanged, page.get(),
                     [&](const QString& text) { changes << text; });
    chooser->findChild<QToolButton*>(QStringLiteral("browseButton"))->click();
    EXPECT_EQ(title, QStringLiteral("Firmware Image"));
    EXPECT_EQ(filters, QStringList(QStringLiteral("*.bin")));
    EXPECT_EQ(directory, QDir(cwd.path(QString())).absolutePath());
    EXPECT_EQ(changes, QList<QString>{chosen});
    EXPECT_EQ(chooser->text(), chosen);
    EXPECT_EQ(widgets->imageInfoLabel->text(), versionLabel(QStringLiteral("5.6 - x")));
    EXPECT_TRUE(widgets->installButton->isEnabled());
}

// The chosen path is the one shown already, but the file behind it has been repaired since
// it was refused: choosing it again reads it again.
TEST_F(PageTest, ChoosingTheShownPathAgainRereadsTheFile) {
    const QString path = cwd.write(QStringLiteral("again.bin"), QByteArray(100, 'x'));
    const auto page = createPage();
    page->show();
    widgets->lineEdit->setText(path);
    ASSERT_FALSE(widgets->installButton->isEnabled());
    cwd.write(QStringLiteral("again.bin"), testImage(100, 7, 1));
    const DialogWatcher watcher([&](QFileDialog* dialog) {
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
    });
    page->findChild<FileChooser*>()->browse();
    EXPECT_EQ(widgets->imageInfoLabel->text(), versionLabel(QStringLiteral("7.1 - x")));
    EXPECT_TRUE(widgets->installButton->isEnabled());
}

TEST_F(PageTest, ACancelledDialogChangesNothing) {
    cwd.write(QStringLiteral("kv3.bin"), testImage(100));
    const auto page = createPage();
    page->show();
    const QString before = widgets->lineEdit->text();
    const QString label = widgets->imageInfoLabel->text();
    bool opened = false;
    const DialogWatcher watcher([&](QFileDialog* dialog) {
        opened = true;
        dialog->reject();
    });
    int changes = 0;
    QObject::connect(widgets->lineEdit, &QLineEdit::textChanged, page.get(), [&] { ++changes; });
    page->findChild<FileChooser*>()->browse();
    EXPECT_TRUE(opened);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(widgets->lineEdit->text(), before);
    EXPECT_EQ(widgets->imageInfoLabel->text(), label);
    EXPECT_TRUE(widgets->installButton->isEnabled());
}

}  // namespace
