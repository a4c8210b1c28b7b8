#pragma once

#include "gen3/FirmwareImageHeader.h"
#include "probe/InstalledFirmware.h"

#include <QtGlobal>

#include <span>

// Image state with which the loader reports an installed image; any other value means none.
constexpr quint32 IMAGE_STATE_INSTALLED = 1;

// The record that the loader sends after the tag of its get-loader-info reply: its own
// version and the header of the installed image. All integers are little-endian.
struct LoaderInfo {
    static constexpr int OFFSET_LOADER_VERSION_MAJOR = 0;
    static constexpr int OFFSET_LOADER_VERSION_MINOR = 2;
    static constexpr int OFFSET_LOADER_RESERVED = 4;
    static constexpr int OFFSET_IMAGE_STATE = 8;
    static constexpr int OFFSET_IMAGE_HEADER = 12;
    static constexpr int SIZE = OFFSET_IMAGE_HEADER + FirmwareImageHeader::SIZE;

    quint16 loaderVersionMajor = 0;  // carried, not shown
    quint16 loaderVersionMinor = 0;  // carried, not shown
    quint32 loaderReserved = 0;      // carried, never interpreted
    quint32 imageState = 0;
    FirmwareImageHeader imageHeader;

    static LoaderInfo decode(std::span<const quint8, SIZE> bytes);
    void encode(std::span<quint8, SIZE> bytes) const;

    // An image counts as installed when the loader says so and its header carries the
    // image marker.
    bool hasInstalledImage() const {
        return imageState == IMAGE_STATE_INSTALLED && imageHeader.hasImageMagic();
    }

    friend bool operator==(const LoaderInfo&, const LoaderInfo&) = default;
};

static_assert(LoaderInfo::OFFSET_LOADER_VERSION_MINOR ==
              LoaderInfo::OFFSET_LOADER_VERSION_MAJOR + int(sizeof(quint16)));
static_assert(LoaderInfo::OFFSET_LOADER_RESERVED ==
              LoaderInfo::OFFSET_LOADER_VERSION_MINOR + int(sizeof(quint16)));
static_assert(LoaderInfo::OFFSET_IMAGE_STATE ==
              LoaderInfo::OFFSET_LOADER_RESERVED + int(sizeof(quint32)));
static_assert(LoaderInfo::OFFSET_IMAGE_HEADER ==
              LoaderInfo::OFFSET_IMAGE_STATE + int(sizeof(quint32)));
static_assert(LoaderInfo::SIZE == 76);

// What a probe whose loader sent `info` has installed.
InstalledFirmware installedFirmwareOf(const LoaderInfo& info);
