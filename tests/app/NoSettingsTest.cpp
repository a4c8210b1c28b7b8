// kvtool writes no settings files, Qt's file dialog's included.

#include "app/NoSettings.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(NoSettings, TheFileDialogLeavesNothingBehind) {
    QTemporaryDir config;
    const auto chooseOnce = [&] {
        QFileDialog dialog(nullptr, QStringLiteral("Select image"), config.path(),
                           QStringLiteral("*.bin"));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.show();
    };
    // Where Qt keeps a user's settings unless told otherwise: the dialog writes its state
    // there when it goes.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    chooseOnce();
    const QString written = config.filePath(QStringLiteral("QtProject.conf"));
    ASSERT_TRUE(QFile::exists(written)) << "the dialog wrote nothing to begin with";
    ASSERT_TRUE(QFile::remove(written));

    keepNoSettings();
    chooseOnce();
    EXPECT_EQ(QDir(config.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList());
}

}  // namespace
