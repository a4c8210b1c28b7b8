#include "gen3/FirmwareVersionText.h"

#include "app/HException.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderCommands.h"

#include <array>
#include <span>

QString installedFirmwareText(const LoaderInfo& info) {
    if (!info.hasInstalledImage()) {
        return QLatin1String(NOT_INSTALLED_TEXT);
    }
    return imageVersionText(info.imageHeader).toHtmlEscaped();
}

QString queryInstalledFirmware(HDataLink& link) {
    return installedFirmwareText(getLoaderInfo(link));
}

std::optional<FirmwareImageHeader> readValidImageHeader(const QString& path) {
    std::array<quint8, FirmwareImageHeader::SIZE> bytes{};
    try {
        readImageFile(path, qint64(bytes.size()), reinterpret_cast<char*>(bytes.data()));
    } catch (const HException&) {
        return std::nullopt;
    }
    return FirmwareImageHeader::validFromBytes(
        QByteArrayView(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
}

QString imageFileText(const std::optional<FirmwareImageHeader>& header) {
    if (!header) {
        return QLatin1String(INVALID_FILE_TEXT);
    }
    return imageVersionText(*header).toHtmlEscaped();
}
