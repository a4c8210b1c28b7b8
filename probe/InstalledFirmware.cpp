#include "probe/InstalledFirmware.h"

#include "gen3/FirmwareVersionText.h"

InstalledFirmware InstalledFirmware::fromLoaderInfo(const LoaderInfo& info) {
    InstalledFirmware firmware;
    firmware.generation = 3;
    firmware.loaderVersionMajor = info.loaderVersionMajor;
    firmware.loaderVersionMinor = info.loaderVersionMinor;
    if (!info.hasInstalledImage()) {
        firmware.state = State::NotInstalled;
        return firmware;
    }
    firmware.state = State::Installed;
    firmware.versionMajor = info.imageHeader.versionMajor;
    firmware.versionMinor = info.imageHeader.versionMinor;
    firmware.versionText = imageVersionText(info.imageHeader);
    firmware.description = info.imageHeader.descriptionText();
    return firmware;
}

InstalledFirmware InstalledFirmware::fromProbeInfo(const ProbeInfo& info) {
    InstalledFirmware firmware;
    firmware.generation = 2;
    firmware.kind = info.kind;
    if (info.isBootloader()) {
        firmware.state = State::BootloaderRunning;
    } else if (info.isApplication()) {
        firmware.state = State::Installed;
        firmware.versionMajor = info.versionMajor;
        firmware.versionMinor = info.versionMinor;
        firmware.versionText = info.versionText();
        firmware.flags = info.flags;
    }
    return firmware;
}
