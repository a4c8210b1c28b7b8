#pragma once

#include "device/UsbDeviceInfo.h"
#include "gen2/ProbeInfo.h"
#include "gen3/LoaderInfo.h"

#include <QJsonObject>
#include <QString>

#include <optional>

// What a probe reports as installed: for generation 3 the loader's record of its image,
// for generation 2 what the running firmware answers to ReadInfo.
struct InstalledFirmware {
    enum class State {
        Installed,          // an image or application firmware is installed and described
        NotInstalled,       // generation 3: the loader reports no valid image
        BootloaderRunning,  // generation 2: the bootloader answered, no application runs
        Unknown             // generation 2: an answer of a kind we do not know
    };

    State state = State::Unknown;
    int generation = 0;
    std::optional<quint16> versionMajor;
    std::optional<quint16> versionMinor;
    QString versionText;           // "1.3 - factory build" (generation 3), "1.5" (generation 2)
    QString description;           // generation 3: the image header's description
    std::optional<quint16> flags;  // generation 2: the variant flags
    std::optional<quint16> loaderVersionMajor;  // generation 3: the loader's own version
    std::optional<quint16> loaderVersionMinor;
    std::optional<quint16> kind;  // generation 2: the ReadInfo kind

    static InstalledFirmware fromLoaderInfo(const LoaderInfo& info);
    static InstalledFirmware fromProbeInfo(const ProbeInfo& info);

    // One line: "1.3 - factory build", "Not Installed", "bootloader running",
    // "1.5, Birch, Variable Speed and Adaptive".
    QString text() const;
    // {"state", "versionText", "versionMajor", "versionMinor", "description", "variant",
    //  "target", "clocking", "loaderVersion"}: every key always present, null where it
    // does not apply.
    QJsonObject toJson() const;
};

// Reads what `probe` has installed through a link of its own, as the firmware pages do when
// they show a probe: get loader info (generation 3) or ReadInfo (generation 2), nothing
// else. Throws HException with the link's or the command's message; CliFailure for a
// product id that is no probe generation we know.
InstalledFirmware readInstalledFirmware(const UsbDeviceInfo& probe);
