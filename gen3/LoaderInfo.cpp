#include "gen3/LoaderInfo.h"

#include "gen3/FirmwareImageHeader.h"

#include <QtEndian>

LoaderInfo LoaderInfo::decode(std::span<const quint8, SIZE> bytes) {
    LoaderInfo info;
    info.loaderVersionMajor =
        qFromLittleEndian<quint16>(bytes.data() + OFFSET_LOADER_VERSION_MAJOR);
    info.loaderVersionMinor =
        qFromLittleEndian<quint16>(bytes.data() + OFFSET_LOADER_VERSION_MINOR);
    info.loaderReserved = qFromLittleEndian<quint32>(bytes.data() + OFFSET_LOADER_RESERVED);
    info.imageState = qFromLittleEndian<quint32>(bytes.data() + OFFSET_IMAGE_STATE);
    info.imageHeader = FirmwareImageHeader::decode(
        bytes.subspan<OFFSET_IMAGE_HEADER, FirmwareImageHeader::SIZE>());
    return info;
}

void LoaderInfo::encode(std::span<quint8, SIZE> bytes) const {
    qToLittleEndian<quint16>(loaderVersionMajor, bytes.data() + OFFSET_LOADER_VERSION_MAJOR);
    qToLittleEndian<quint16>(loaderVersionMinor, bytes.data() + OFFSET_LOADER_VERSION_MINOR);
    qToLittleEndian<quint32>(loaderReserved, bytes.data() + OFFSET_LOADER_RESERVED);
    qToLittleEndian<quint32>(imageState, bytes.data() + OFFSET_IMAGE_STATE);
    imageHeader.encode(bytes.subspan<OFFSET_IMAGE_HEADER, FirmwareImageHeader::SIZE>());
}

InstalledFirmware installedFirmwareOf(const LoaderInfo& info) {
    InstalledFirmware firmware;
    firmware.generation = 3;
    firmware.loaderVersionMajor = info.loaderVersionMajor;
    firmware.loaderVersionMinor = info.loaderVersionMinor;
    if (!info.hasInstalledImage()) {
        firmware.state = InstalledFirmware::State::NotInstalled;
        return firmware;
    }
    firmware.state = InstalledFirmware::State::Installed;
    firmware.versionMajor = info.imageHeader.versionMajor;
    firmware.versionMinor = info.imageHeader.versionMinor;
    firmware.versionText = imageVersionText(info.imageHeader);
    firmware.description = info.imageHeader.descriptionText();
    return firmware;
}
