#pragma once

#include "device/UsbDeviceInfo.h"
#include "gen3/FirmwareImageHeader.h"
#include "gen3/KVFirmwareWidget.h"

#include <QtGlobal>

#include <optional>

class FileChooser;
class HDataLink;
class QLabel;
class QPushButton;

// The firmware page for generation-3 probes: shows the firmware installed on the probe and
// the version of the chosen image file, and installs that file (erase, download, verify in
// 8192-byte chunks from IMAGE_BASE_ADDRESS) with progress reported to the main window.
class KV3FirmwareWidget : public KVFirmwareWidget {
    Q_OBJECT

public:
    explicit KV3FirmwareWidget(QWidget* parent = nullptr);

    // Shows what the probe's loader reports as installed, and keeps `device` for the next
    // install.
    void showInstalledFirmware(const UsbDeviceInfo& device,
                               const InstalledFirmware& firmware) override;

    // The three transfer steps of an install on an open link, reported through
    // `progress` (see Gen3Engine, which they delegate to).
    void eraseImage(HDataLink& link, quint32 address, int size);
    void downloadImage(HDataLink& link, quint32 address, int size, const quint8* data);
    void verifyImage(HDataLink& link, quint32 address, int size, const quint8* data);

public Q_SLOTS:
    // Reads the chosen file's header: shows its version text and enables the install
    // button when it is a valid image, else shows "Invalid File" and disables the button.
    void updateImageInfo();
    // Installs the chosen file on the probe last shown. The file is read and checked here,
    // so a file replaced since it was chosen is refused before the probe is touched (the
    // failure in the "Error" box); the install itself runs on the window's worker, with
    // polling suspended and the button disabled until it ended.
    void updateFirmware();

protected:
    void showFirmwareNotRead() override;

private:
    void showImageInfo(const std::optional<FirmwareImageHeader>& header);

    FileChooser* fileChooser = nullptr;
    QLabel* installedLabel = nullptr;
    QLabel* imageInfoLabel = nullptr;
    QLabel* invalidReasonLabel = nullptr;
    QPushButton* installButton = nullptr;
    UsbDeviceInfo device;
};
