#pragma once

#include "gen2/ProbeInfo.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <array>
#include <optional>

// The version record: how a generation-2 firmware image of ours states the version and
// variant that the firmware reports once it runs. The host never reads it (it learns both
// from ReadInfo); the image generator writes it and the emulated probe reads it from the
// application zone it was programmed with, so that the probe then answers ReadInfo with
// the version and variant of the image it received.
//
// Layout, 10 bytes, anywhere in the application zone:
//
//   offset 0   tag "KV2V" (0x4B 0x56 0x32 0x56)
//   offset 4   version, major part   16 bits, high byte first
//   offset 6   version, minor part   16 bits, high byte first
//   offset 8   variant flags         16 bits, high byte first (as in ProbeInfo::flags)
//
// The three words have the order and byte order of ProbeInfo's bytes 2 to 7. When an image
// carries several records, the one with the highest offset counts, as for the other marks.
// The generator keeps the record out of the bytes that the head copy overwrites.
struct KV2VersionRecord {
    static constexpr std::array<char, 4> TAG{'K', 'V', '2', 'V'};
    static constexpr int VERSION_MAJOR_OFFSET = 4;
    static constexpr int VERSION_MINOR_OFFSET = 6;
    static constexpr int FLAGS_OFFSET = 8;
    static constexpr int SIZE = 10;

    quint16 versionMajor = 0;
    quint16 versionMinor = 0;
    quint16 flags = 0;

    QByteArray encode() const;
    // The complete record with the highest offset in memory, if there is one, and where
    // it starts.
    static std::optional<KV2VersionRecord> find(QByteArrayView memory);
    static std::optional<qsizetype> offsetIn(QByteArrayView memory);
    // What an application firmware carrying this record answers to ReadInfo.
    ProbeInfo applicationInfo() const;

    friend bool operator==(const KV2VersionRecord&, const KV2VersionRecord&) = default;
};

static_assert(int(KV2VersionRecord::TAG.size()) == KV2VersionRecord::VERSION_MAJOR_OFFSET);
static_assert(KV2VersionRecord::FLAGS_OFFSET + 2 == KV2VersionRecord::SIZE);
