#pragma once

#include "device/UsbDeviceInfo.h"
#include "gen3/FirmwareImageHeader.h"
#include "gen3/KVFirmwareWidget.h"

#include <QtGlobal>

#include <optional>

class FileChooser;
class Gen3Engine;
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

    // Asks the probe's loader what is installed (a link of its own, default time-out) and
    // shows it; then keeps `device` for the next install. Throws the link's or the
    // command's HException before anything on the page changes.
    void showInstalledFirmware(const UsbDeviceInfo& device) override;

    // The three transfer steps of an install, reported through `progress` (see
    // Gen3Engine, which they delegate to).
    void eraseImage(HDataLink& link, quint32 address, int size);
    void downloadImage(HDataLink& link, quint32 address, int size, const quint8* data);
    void verifyImage(HDataLink& link, quint32 address, int size, const quint8* data);

public Q_SLOTS:
    // Reads the chosen file's header: shows its version text and enables the install
    // button when it is a valid image, else shows "Invalid File" and disables the button.
    void updateImageInfo();
    // Installs the chosen file on the probe last shown. Polling is suspended and the button
    // disabled meanwhile, and both are restored on every way out; a failure is rethrown
    // unchanged once they are. The file is checked again as read, so a file replaced
    // since it was chosen is refused before the probe is touched.
    void updateFirmware();

private:
    void showImageInfo(const std::optional<FirmwareImageHeader>& header);

    FileChooser* fileChooser = nullptr;
    QLabel* installedLabel = nullptr;
    QLabel* imageInfoLabel = nullptr;
    QPushButton* installButton = nullptr;
    UsbDeviceInfo device;
    Gen3Engine* engine = nullptr;  // child; its progress is this page's progress
};
