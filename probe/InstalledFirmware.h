#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// What a probe reports as installed, as a value (the window's pages and the command line
// each say it in their own words): for generation 3 the loader's record of its image, for
// generation 2 what the running firmware answers to ReadInfo (installedFirmwareOf() of
// each generation makes it).
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

    friend bool operator==(const InstalledFirmware&, const InstalledFirmware&) = default;
};
