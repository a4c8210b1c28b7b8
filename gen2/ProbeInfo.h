#pragma once

#include "device/UsbIds.h"
#include "gen2/KV2Protocol.h"
#include "gen2/KV2Variant.h"
#include "probe/InstalledFirmware.h"

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// The answer to ReadInfo: four unsigned 16-bit words, each sent high byte first, at the
// start of the reply packet. `kind` tells which firmware answered; the version and flag
// words mean something only when the application firmware answered.
struct ProbeInfo {
    // The same numbers as the USB product ids of the two modes.
    static constexpr quint16 KIND_APPLICATION = PRODUCT_ID_GENERATION2;
    static constexpr quint16 KIND_BOOTLOADER = PRODUCT_ID_GENERATION2_BOOTLOADER;

    static constexpr int KIND_OFFSET = 0;
    static constexpr int VERSION_MAJOR_OFFSET = 2;
    static constexpr int VERSION_MINOR_OFFSET = 4;
    static constexpr int FLAGS_OFFSET = 6;
    static constexpr int SIZE = 8;  // bytes of the reply that carry the information

    quint16 kind = 0;
    quint16 versionMajor = 0;
    quint16 versionMinor = 0;
    quint16 flags = 0;

    // Decodes the information at the start of a reply. Throws HException when the reply
    // is shorter than SIZE bytes.
    static ProbeInfo decode(QByteArrayView reply);
    // The reply packet that carries this information (what the probe sends).
    kv2::Packet encode() const;

    bool isApplication() const { return kind == KIND_APPLICATION; }
    bool isBootloader() const { return kind == KIND_BOOTLOADER; }
    kv2::TargetFamily family() const { return kv2::familyOf(flags); }
    kv2::JtagClocking clocking() const { return kv2::clockingOf(flags); }
    // "Birch, Variable Speed and Adaptive", "2.10" and the like.
    QString variantText() const { return kv2::variantText(flags); }
    QString versionText() const { return kv2::versionText(versionMajor, versionMinor); }

    friend bool operator==(const ProbeInfo&, const ProbeInfo&) = default;
};

static_assert(ProbeInfo::FLAGS_OFFSET + 2 == ProbeInfo::SIZE);
static_assert(kv2::PROBE_INFO_OFFSET + ProbeInfo::SIZE <= kv2::PACKET_SIZE);

// What a probe that answered ReadInfo with `info` runs.
InstalledFirmware installedFirmwareOf(const ProbeInfo& info);
