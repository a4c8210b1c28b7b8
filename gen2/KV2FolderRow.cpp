#include "gen2/KV2FolderRow.h"

#include "app/FirmwareDirectory.h"
#include "engines/FirmwareLibrary.h"

#include <QBoxLayout>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

KV2FolderRow::KV2FolderRow(QWidget* parent, QBoxLayout* buttons) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    line = new QLabel(this);
    line->setObjectName(QStringLiteral("folderLabel"));
    line->setTextFormat(Qt::RichText);
    line->setWordWrap(true);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->setAccessibleName(QStringLiteral("Firmware folder"));
    column->addWidget(line);

    QWidget* row = buttons->parentWidget();
    choose = new QPushButton(QStringLiteral("Choose &Folder..."), row);
    choose->setObjectName(QStringLiteral("chooseFolderButton"));
    choose->setAccessibleDescription(
        QStringLiteral("Chooses the folder that holds the kv_*.bin firmware images"));
    buttons->insertWidget(0, choose);
    searchDefault = new QPushButton(QStringLiteral("&Default Folders"), row);
    searchDefault->setObjectName(QStringLiteral("defaultFoldersButton"));
    searchDefault->setAccessibleDescription(
        QStringLiteral("Forgets the chosen folder and looks in the firmware folders again"));
    buttons->insertWidget(1, searchDefault);
    connect(choose, &QPushButton::clicked, this, &KV2FolderRow::chooseFolder);
    connect(searchDefault, &QPushButton::clicked, this, [this] { useFolder(QString()); });
}

QString KV2FolderRow::imagePath(kv2::TargetFamily family, kv2::JtagClocking clocking) {
    const QString chosen = firmwareDirectory.nativePath();
    const FirmwareLibrary library(firmwareFolders());
    lastFolder = library.generation2Folder(family, clocking, chosen);
    QString path = FirmwareLibrary::generation2ImageIn(lastFolder, family, clocking);
    QString text = QStringLiteral("<b>Firmware folder: </b>") + lastFolder.toHtmlEscaped();
    if (!QFileInfo(path).isFile()) {
        text += QStringLiteral(" (no %1 there)").arg(kv2::imageFileName(family, clocking));
    }
    line->setText(text);
    searchDefault->setEnabled(!chosen.isEmpty());
    return path;
}

void KV2FolderRow::useFolder(const QString& folder) {
    firmwareDirectory = HPath(folder);
    rememberFirmwareFolder(folder);
    Q_EMIT folderChanged();
}

void KV2FolderRow::chooseFolder() {
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Choose the Firmware Folder"), lastFolder);
    if (!folder.isEmpty()) {
        useFolder(folder);
    }
}
