#pragma once

// Helpers for the tests of the generation-3 page: a throw-away working directory and
// access to the page's widgets by object name.
#include "gen3/KV3FirmwareWidget.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ostream>

// Readable texts in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

// Makes a fresh temporary directory the process's working directory while it lives.
class ScopedWorkingDirectory {
public:
    ScopedWorkingDirectory() : previous(QDir::currentPath()) {
        EXPECT_TRUE(dir.isValid());
        EXPECT_TRUE(QDir::setCurrent(dir.path()));
    }
    ~ScopedWorkingDirectory() { QDir::setCurrent(previous); }
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

    // The absolute path of `name` in the directory.
    QString path(const QString& name) const { return QDir(dir.path()).absoluteFilePath(name); }
    // Writes `bytes` to `name` in the directory and returns its absolute path.
    QString write(const QString& name, const QByteArray& bytes) const {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        EXPECT_EQ(file.write(bytes), bytes.size());
        return file.fileName();
    }

private:
    QTemporaryDir dir;
    QString previous;
};

// The page's widgets, found by their object names.
struct PageWidgets {
    explicit PageWidgets(QWidget* page)
        : installedLabel(page->findChild<QLabel*>(QStringLiteral("installedLabel"))),
          imageInfoLabel(page->findChild<QLabel*>(QStringLiteral("imageInfoLabel"))),
          installButton(page->findChild<QPushButton*>(QStringLiteral("installButton"))),
          lineEdit(page->findChild<QLineEdit*>(QStringLiteral("lineEdit"))) {
        EXPECT_NE(installedLabel, nullptr);
        EXPECT_NE(imageInfoLabel, nullptr);
        EXPECT_NE(installButton, nullptr);
        EXPECT_NE(lineEdit, nullptr);
    }

    QLabel* installedLabel;
    QLabel* imageInfoLabel;
    QPushButton* installButton;
    QLineEdit* lineEdit;
};

// The texts of the page's two version labels: the caption, then `text`.
inline QString versionLabel(const QString& text) {
    return QStringLiteral("<b>Version: </b>") + text;
}
inline QString invalidFileLabel() {
    return versionLabel(QStringLiteral("<i>Invalid File</i>"));
}
inline QString notInstalledLabel() {
    return versionLabel(QStringLiteral("<i>Not Installed</i>"));
}
