#include "gen3/FirmwareVersionText.h"

QString installedFirmwareText(const InstalledFirmware& firmware) {
    if (firmware.state != InstalledFirmware::State::Installed) {
        return QLatin1String(NOT_INSTALLED_TEXT);
    }
    return firmware.versionText.toHtmlEscaped();
}

QString imageFileText(const std::optional<FirmwareImageHeader>& header) {
    if (!header) {
        return QLatin1String(INVALID_FILE_TEXT);
    }
    return imageVersionText(*header).toHtmlEscaped();
}
