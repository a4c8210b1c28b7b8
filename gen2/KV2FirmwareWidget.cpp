#include "gen2/KV2FirmwareWidget.h"

#include "app/ColumnBox.h"
#include "app/FirmwareDirectory.h"
#include "app/HException.h"
#include "app/KorvaneConfigurer.h"
#include "engines/ProbeEngines.h"
#include "gen2/Gen2Engine.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2FolderRow.h"
#include "gen2/KV2Variant.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <array>

namespace {

constexpr QLatin1String INSTALLED_VERSION_CAPTION("<b>Installed Version: </b>");
constexpr QLatin1String VARIANT_CAPTION("<b>Installed Variant: </b>");
// What the page shows while only the bootloader runs (no application to report on).
constexpr QLatin1String NO_APPLICATION_VERSION("none (bootloader running)");
constexpr QLatin1String NO_APPLICATION_VARIANT("none");
constexpr QLatin1String INSTRUCTIONS(
    "<p>Select the Brenmoor Korvane firmware variant you require and then click <b>Install "
    "Firmware</b> to download.</p>");
// What the page shows when the probe could not be read after an install.
constexpr QLatin1String NOT_READ("not read since the install");
// Inner margins of the radio-button groups and the spacing in the install box.
constexpr int RADIO_MARGIN_X = 9;
constexpr int RADIO_MARGIN_Y = 3;
constexpr int INSTALL_BOX_SPACING = 3;

// A titled group of radio buttons stacked in one column, one for each of `choices`: its id
// the choice's value, its text the choice's caption.
template <typename Choice, std::size_t N>
QButtonGroup* radioGroup(const QString& title, const std::array<Choice, N>& choices,
                         QString (*caption)(Choice), const QString& name, QWidget* parent,
                         QLayout* row) {
    QGroupBox* box = columnBox(title, parent);
    QLayout* column = box->layout();
    // Tight, so that three choices fit the fixed window's height.
    column->setContentsMargins(RADIO_MARGIN_X, RADIO_MARGIN_Y, RADIO_MARGIN_X, RADIO_MARGIN_Y);
    column->setSpacing(0);
    auto* group = new QButtonGroup(box);
    group->setObjectName(name);
    for (const Choice choice : choices) {
        auto* radio = new QRadioButton(caption(choice), box);
        column->addWidget(radio);
        group->addButton(radio, int(choice));
    }
    // Tab enters the group on its chosen button (the arrow keys move between them), as
    // choices of one kind are met elsewhere; the others take the focus only when clicked.
    QObject::connect(group, &QButtonGroup::buttonToggled, group,
                     [](QAbstractButton* button, bool checked) {
                         button->setFocusPolicy(checked ? Qt::StrongFocus : Qt::ClickFocus);
                     });
    for (QAbstractButton* button : group->buttons())
        button->setFocusPolicy(button->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
    row->addWidget(box);
    return group;
}

// A rich-text label that wraps (a long text is never cut off), named for assistive
// technology.
QLabel* namedRichLabel(const QString& name, const QString& accessibleName, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    label->setAccessibleName(accessibleName);
    return label;
}

}  // namespace

KV2FirmwareWidget::KV2FirmwareWidget(QWidget* parent) : KVFirmwareWidget(parent) {
    auto* pageLayout = new QVBoxLayout(this);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    auto* vbox = new QWidget(this);
    auto* column = new QVBoxLayout(vbox);
    column->setContentsMargins(2, 2, 2, 2);
    column->setSpacing(2);
    pageLayout->addWidget(vbox, 0);

    installedVersionLabel = namedRichLabel(QStringLiteral("installedVersionLabel"),
                                           QStringLiteral("Installed version"), vbox);
    column->addWidget(installedVersionLabel);
    installedVariantLabel = namedRichLabel(QStringLiteral("installedVariantLabel"),
                                           QStringLiteral("Installed variant"), vbox);
    column->addWidget(installedVariantLabel);
    column->addWidget(newerFirmwareLabel());
    // The blank row between what is installed and what to install: half a line, so
    // that the page fits the fixed window.
    auto* blankRow = new QLabel(vbox);
    blankRow->setFixedHeight(blankRow->fontMetrics().height() / 2);
    column->addWidget(blankRow);

    installBox = columnBox(QStringLiteral("Install Firmware"), vbox);
    installBox->setObjectName(QStringLiteral("installBox"));
    QLayout* installColumn = installBox->layout();
    installColumn->setSpacing(INSTALL_BOX_SPACING);
    column->addWidget(installBox);

    auto* instructions = new QLabel(QString(INSTRUCTIONS), installBox);
    instructions->setTextFormat(Qt::RichText);
    instructions->setWordWrap(true);  // wider than the window on one line
    installColumn->addWidget(instructions);

    auto* groups = new QWidget(installBox);
    auto* groupsRow = new QHBoxLayout(groups);
    groupsRow->setContentsMargins(0, 0, 0, 0);
    groupsRow->setSpacing(5);
    installColumn->addWidget(groups);
    targetGroup = radioGroup(QStringLiteral("Target"), kv2::TARGET_FAMILIES, kv2::familyName,
                             QStringLiteral("targetGroup"), groups, groupsRow);
    clockingGroup =
        radioGroup(QStringLiteral("JTAG Clocking"), kv2::JTAG_CLOCKINGS, kv2::clockingName,
                   QStringLiteral("clockingGroup"), groups, groupsRow);

    auto* buttonRow = new QWidget(installBox);
    auto* buttonLayout = new QHBoxLayout(buttonRow);
    buttonLayout->setContentsMargins(0, 0, 0, 0);
    buttonLayout->addWidget(new QLabel(buttonRow));
    installButton = new QPushButton(QStringLiteral("&Install Firmware"), buttonRow);
    installButton->setObjectName(QStringLiteral("installButton"));
    buttonLayout->addWidget(installButton);
    // Above the button, its buttons beside it, made after it for the Tab order: the
    // choices lead to Install, the folder's buttons come after.
    folderRow = new KV2FolderRow(installBox, buttonLayout);
    installColumn->addWidget(folderRow);
    installColumn->addWidget(buttonRow);
    connect(folderRow, &KV2FolderRow::folderChanged, this, [this] {
        imageFileName();
        lookAgainForNewerFirmware();
    });
    const auto variantChanged = [this](QAbstractButton*, bool checked) {
        if (checked)
            imageFileName();
    };
    connect(targetGroup, &QButtonGroup::buttonToggled, this, variantChanged);
    connect(clockingGroup, &QButtonGroup::buttonToggled, this, variantChanged);

    installButton->setDefault(true);
    installButton->setAccessibleDescription(
        QStringLiteral("Installs the chosen target family and clocking onto the Korvane"));
    connect(installButton, &QPushButton::clicked, this, &KV2FirmwareWidget::updateFirmware);

    targetGroup->button(int(kv2::TargetFamily::Alder))->setChecked(true);
    clockingGroup->button(int(kv2::JtagClocking::MaximumSpeed))->setChecked(true);
    imageFileName();
}

void KV2FirmwareWidget::showInstalledFirmware(const UsbDeviceInfo& device,
                                              const InstalledFirmware& firmware) {
    this->device = device;
    if (firmware.state == InstalledFirmware::State::Installed)
        showApplication(firmware.versionText, firmware.flags.value_or(0));
    else if (firmware.state == InstalledFirmware::State::BootloaderRunning)
        showBootloaderRunning();
    // Any other kind: nothing known to show; the page stays as it was.
}

void KV2FirmwareWidget::showFirmwareNotRead() {
    // Never the version from before as if it were installed.
    installedVersionLabel->setText(INSTALLED_VERSION_CAPTION + NOT_READ);
    installedVariantLabel->setText(VARIANT_CAPTION + NOT_READ);
}

void KV2FirmwareWidget::showApplication(const QString& version, quint16 flags) {
    installedVersionLabel->setText(INSTALLED_VERSION_CAPTION + version);
    installedVariantLabel->setText(VARIANT_CAPTION + kv2::variantText(flags));
    // A following install re-installs the same variant unless the user changes it.
    targetGroup->button(int(kv2::familyOf(flags)))->setChecked(true);
    clockingGroup->button(int(kv2::clockingOf(flags)))->setChecked(true);
}

void KV2FirmwareWidget::showBootloaderRunning() {
    // No application runs, so none is reported; the selection stays the user's.
    installedVersionLabel->setText(INSTALLED_VERSION_CAPTION + NO_APPLICATION_VERSION);
    installedVariantLabel->setText(VARIANT_CAPTION + NO_APPLICATION_VARIANT);
}

QString KV2FirmwareWidget::imageFileName() const {
    const auto family = static_cast<kv2::TargetFamily>(targetGroup->checkedId());
    const auto clocking = clockingGroup->checkedId() == int(kv2::JtagClocking::MaximumSpeed)
                              ? kv2::JtagClocking::MaximumSpeed
                              : kv2::JtagClocking::VariableSpeedAndAdaptive;
    return folderRow->imagePath(family, clocking);
}

void KV2FirmwareWidget::updateFirmware() {
    if (installing())
        return;  // one click, one install
    installButton->setEnabled(false);
    setPollingEnabled(false);
    const QString path = imageFileName();
    try {
        // Read once; the page's own checks first, with their messages, then what the
        // download would refuse only once the probe is in its bootloader.
        const QByteArray bytes = KV2FirmwareImage::readFile(HPath(path));
        KV2FirmwareImage checked;
        checked.loadBytes(bytes, QString());
        auto image = std::make_shared<const ImageIdentity>(identifyImageBytes(path, bytes));
        if (!image->installable())
            throw HException(image->problem.toLocal8Bit().toStdString());
        Gen2Engine engine;
        engine.check(device, *image);
        startInstall(installButton, device, image,
                     [] { return std::make_unique<Gen2Engine>(Gen2Engine::Follow::OnlyProbe); });
    } catch (const HException& error) {
        showFailure(messageOf(error));
        installButton->setEnabled(true);
        setPollingEnabled(true);
        if (mainWindow != nullptr)
            mainWindow->deviceInfoCurrent = false;
    }
}
