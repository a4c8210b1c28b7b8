#include "gen3/FileChooser.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace {

constexpr int CHOOSER_SPACING = 2;

}  // namespace

FileChooser::FileChooser(const QString& caption, const QString& path, const QString& filter,
                         QWidget* parent)
    : QWidget(parent), caption(caption), filter(filter) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(CHOOSER_SPACING);

    auto* label = new QLabel(caption + QStringLiteral(": "), this);
    label->setTextFormat(Qt::PlainText);
    row->addWidget(label);
    lineEdit = new QLineEdit(path, this);
    lineEdit->setObjectName(QStringLiteral("lineEdit"));
    lineEdit->setAccessibleName(caption);
    label->setBuddy(lineEdit);
    row->addWidget(lineEdit);
    auto* browseButton = new QToolButton(this);
    browseButton->setObjectName(QStringLiteral("browseButton"));
    browseButton->setText(QStringLiteral("..."));
    browseButton->setToolTip(QStringLiteral("Browse"));
    browseButton->setAccessibleName(QStringLiteral("Browse"));
    browseButton->setAccessibleDescription(
        QStringLiteral("Choose the %1 file in a dialog").arg(caption));
    row->addWidget(browseButton);

    connect(lineEdit, &QLineEdit::textChanged, this, &FileChooser::textChanged);
    connect(browseButton, &QToolButton::clicked, this, &FileChooser::browse);
}

QString FileChooser::text() const {
    return lineEdit->text();
}

void FileChooser::browse() {
    const QString chosen = QFileDialog::getOpenFileName(this, caption, lineEdit->text(), filter);
    if (chosen.isEmpty()) {
        return;
    }
    // Choosing the path already shown changes no text, so the line edit says nothing; the
    // file may have changed since it was read, so it is announced all the same.
    if (chosen == lineEdit->text()) {
        Q_EMIT textChanged(chosen);
    } else {
        lineEdit->setText(chosen);
    }
}
