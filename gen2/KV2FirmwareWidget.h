#pragma once

#include "gen3/KVFirmwareWidget.h"

#include <QString>

class KV2FolderRow;
class QButtonGroup;
class QGroupBox;
class QLabel;
class QPushButton;

// The firmware page of a generation-2 probe: shows the version and variant of the
// application installed on it, lets the user pick a target family and a JTAG clocking mode,
// and installs the matching image from the firmware directory through the bootloader.
// The page is also raised for a probe found in its bootloader (a download that failed
// left it there), so that the user can install an application again.
class KV2FirmwareWidget : public KVFirmwareWidget {
    Q_OBJECT

public:
    explicit KV2FirmwareWidget(QWidget* parent = nullptr);

    // Shows what the probe runs: the application's version and variant (and selects that
    // variant for the next install), or that only the bootloader runs; keeps `device` for
    // the next install.
    void showInstalledFirmware(const UsbDeviceInfo& device,
                               const InstalledFirmware& firmware) override;
    // The image file for the current selection, kv_<family>_<clocking>.bin: in the folder
    // the user chose, else in the first firmware folder that holds it (else the first
    // firmware folder). Shows that folder on the page.
    QString imageFileName() const;

protected Q_SLOTS:
    // Installs the selected image with the probe's own serial number. The file is read and
    // checked here, so that an image the download would refuse never sends the probe into
    // its bootloader; the install itself runs on the window's worker. Shows a failure in a
    // warning box titled "Error"; in every case re-enables the button and polling and has
    // the next poll read the probe again.
    void updateFirmware();

protected:
    void showFirmwareNotRead() override;

private:
    void showApplication(const QString& version, quint16 flags);
    void showBootloaderRunning();

    QLabel* installedVersionLabel = nullptr;
    QLabel* installedVariantLabel = nullptr;
    QButtonGroup* clockingGroup = nullptr;
    QButtonGroup* targetGroup = nullptr;
    QGroupBox* installBox = nullptr;
    QPushButton* installButton = nullptr;
    KV2FolderRow* folderRow = nullptr;
    UsbDeviceInfo device;
};
