#include "gen3/KV3FirmwareWidget.h"

#include "app/ColumnBox.h"
#include "app/HException.h"
#include "engines/ProbeEngines.h"
#include "gen3/FileChooser.h"
#include "gen3/FirmwareVersionText.h"
#include "gen3/Gen3Engine.h"
#include "gen3/ImageFile.h"

#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QVBoxLayout>

namespace {

constexpr int CONTENT_MARGIN = 2;
constexpr int CONTENT_SPACING = 2;

// A rich-text label that wraps (a long version text is never cut off), named for
// assistive technology.
QLabel* richLabel(const QString& name, const QString& toolTip, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    label->setToolTip(toolTip);
    label->setAccessibleName(name);
    label->setAccessibleDescription(toolTip);
    return label;
}

// Why the file named `path` cannot be installed, as kvtool-cli image tells it, in words
// for the page.
QString whyNotInstallable(const QString& path) {
    try {
        const ImageIdentity image = identifyImage(path);
        if (image.size() < FirmwareImageHeader::SIZE) {
            return QStringLiteral("%1 bytes, shorter than an image header (%2 bytes)")
                .arg(image.size())
                .arg(FirmwareImageHeader::SIZE);
        }
        if (image.generation == 2) {
            return QStringLiteral("a generation-2 image; this probe takes generation-3 images");
        }
        return image.problem;
    } catch (const HException& e) {
        return messageOf(e);
    }
}

}  // namespace

KV3FirmwareWidget::KV3FirmwareWidget(QWidget* parent) : KVFirmwareWidget(parent) {
    auto* pageLayout = new QVBoxLayout(this);
    pageLayout->setContentsMargins(0, 0, 0, 0);

    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(CONTENT_MARGIN, CONTENT_MARGIN, CONTENT_MARGIN, CONTENT_MARGIN);
    column->setSpacing(CONTENT_SPACING);
    pageLayout->addWidget(content);

    auto* installedBox = columnBox(QStringLiteral("Currently Installed Firmware"), content);
    installedBox->setObjectName(QStringLiteral("installedBox"));
    column->addWidget(installedBox);
    installedLabel = richLabel(
        QStringLiteral("Installed firmware"),
        QStringLiteral("The version description of the firmware currently installed on the "
                       "Korvane"),
        installedBox);
    installedLabel->setObjectName(QStringLiteral("installedLabel"));
    installedBox->layout()->addWidget(installedLabel);
    installedBox->layout()->addWidget(newerFirmwareLabel());

    column->addWidget(new QLabel(content));  // a blank row

    auto* installBox = columnBox(QStringLiteral("Install Firmware"), content);
    installBox->setObjectName(QStringLiteral("installBox"));
    column->addWidget(installBox);
    fileChooser = new FileChooser(QStringLiteral("Firmware Image"),
                                  QDir::current().absoluteFilePath(QStringLiteral("kv3.bin")),
                                  QStringLiteral("*.bin"), installBox);
    fileChooser->setObjectName(QStringLiteral("fileChooser"));
    fileChooser->setToolTip(QStringLiteral("The firmware image file to install onto the Korvane"));
    installBox->layout()->addWidget(fileChooser);
    connect(fileChooser, &FileChooser::textChanged, this, &KV3FirmwareWidget::updateImageInfo);
    imageInfoLabel = richLabel(
        QStringLiteral("Firmware image version"),
        QStringLiteral("The version description of the currently selected firmware image file"),
        installBox);
    imageInfoLabel->setObjectName(QStringLiteral("imageInfoLabel"));
    installBox->layout()->addWidget(imageInfoLabel);
    // Why an invalid file is invalid, in a line of its own under "Invalid File".
    invalidReasonLabel = new QLabel(installBox);
    invalidReasonLabel->setObjectName(QStringLiteral("invalidReasonLabel"));
    invalidReasonLabel->setTextFormat(Qt::PlainText);
    invalidReasonLabel->setWordWrap(true);
    invalidReasonLabel->setAccessibleName(QStringLiteral("Why the file cannot be installed"));
    invalidReasonLabel->hide();
    installBox->layout()->addWidget(invalidReasonLabel);

    auto* buttonRow = new QWidget(installBox);
    auto* rowLayout = new QHBoxLayout(buttonRow);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    rowLayout->addWidget(new QLabel(buttonRow), 1);  // keeps the button at the right
    installButton = new QPushButton(QStringLiteral("&Install Firmware"), buttonRow);
    installButton->setObjectName(QStringLiteral("installButton"));
    installButton->setDefault(true);
    installButton->setToolTip(
        QStringLiteral("Click to download selected firmware image onto Korvane"));
    installButton->setAccessibleDescription(installButton->toolTip());
    rowLayout->addWidget(installButton);
    installBox->layout()->addWidget(buttonRow);
    connect(installButton, &QPushButton::clicked, this, &KV3FirmwareWidget::updateFirmware);

    pageLayout->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));

    updateImageInfo();
}

void KV3FirmwareWidget::showInstalledFirmware(const UsbDeviceInfo& device,
                                              const InstalledFirmware& firmware) {
    installedLabel->setText(QLatin1String(VERSION_CAPTION) + installedFirmwareText(firmware));
    this->device = device;
}

void KV3FirmwareWidget::showFirmwareNotRead() {
    installedLabel->setText(QLatin1String(VERSION_CAPTION) +
                            QStringLiteral("<i>Not read since the install</i>"));
}

// The transfer steps on a link of the caller's, with this page's progress.
void KV3FirmwareWidget::eraseImage(HDataLink& link, quint32 address, int size) {
    Gen3Engine engine;
    connect(&engine, &Gen3Engine::progress, this, &KVFirmwareWidget::progress);
    engine.eraseImage(link, address, size);
}

void KV3FirmwareWidget::downloadImage(HDataLink& link, quint32 address, int size,
                                      const quint8* data) {
    Gen3Engine engine;
    connect(&engine, &Gen3Engine::progress, this, &KVFirmwareWidget::progress);
    engine.downloadImage(link, address, size, data);
}

void KV3FirmwareWidget::verifyImage(HDataLink& link, quint32 address, int size,
                                    const quint8* data) {
    Gen3Engine engine;
    connect(&engine, &Gen3Engine::progress, this, &KVFirmwareWidget::progress);
    engine.verifyImage(link, address, size, data);
}

void KV3FirmwareWidget::showImageInfo(const std::optional<FirmwareImageHeader>& header) {
    installButton->setEnabled(header.has_value());
    imageInfoLabel->setText(QLatin1String(VERSION_CAPTION) + imageFileText(header));
    invalidReasonLabel->setVisible(!header);
    invalidReasonLabel->setText(header ? QString() : whyNotInstallable(fileChooser->text()));
}

void KV3FirmwareWidget::updateImageInfo() {
    showImageInfo(readValidImageHeader(fileChooser->text()));
}

void KV3FirmwareWidget::updateFirmware() {
    if (installing()) {
        return;  // one click, one install
    }
    const QString path = fileChooser->text();
    QByteArray image;
    try {
        image = readInstallImage(path);
        // The file may have changed since it was chosen: the page shows, and the install
        // takes, the bytes actually read, and bytes that are no valid image never reach
        // the probe.
        showImageInfo(FirmwareImageHeader::validFromBytes(image));
        checkInstallImage(image, path);
    } catch (const HException& error) {
        // Nothing has changed yet: the file is refused as it is.
        showFailure(messageOf(error));
        return;
    }
    startInstall(installButton, device,
                 std::make_shared<const ImageIdentity>(identifyImageBytes(path, image)),
                 [] { return std::make_unique<Gen3Engine>(); });
}
