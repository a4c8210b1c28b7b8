#include "gen2/ProbeInfo.h"

#include "app/HException.h"

#include <QtEndian>

namespace {

quint16 wordAt(QByteArrayView bytes, int offset) {
    return qFromBigEndian<quint16>(bytes.data() + offset);
}

void putWord(kv2::Packet& packet, int offset, quint16 value) {
    qToBigEndian(value, packet.data() + offset);
}

}  // namespace

ProbeInfo ProbeInfo::decode(QByteArrayView reply) {
    if (reply.size() < kv2::PROBE_INFO_OFFSET + SIZE)
        throw HException("Probe information reply too short");
    const QByteArrayView info = reply.sliced(kv2::PROBE_INFO_OFFSET, SIZE);
    ProbeInfo decoded;
    decoded.kind = wordAt(info, KIND_OFFSET);
    decoded.versionMajor = wordAt(info, VERSION_MAJOR_OFFSET);
    decoded.versionMinor = wordAt(info, VERSION_MINOR_OFFSET);
    decoded.flags = wordAt(info, FLAGS_OFFSET);
    return decoded;
}

kv2::Packet ProbeInfo::encode() const {
    kv2::Packet packet{};
    putWord(packet, kv2::PROBE_INFO_OFFSET + KIND_OFFSET, kind);
    putWord(packet, kv2::PROBE_INFO_OFFSET + VERSION_MAJOR_OFFSET, versionMajor);
    putWord(packet, kv2::PROBE_INFO_OFFSET + VERSION_MINOR_OFFSET, versionMinor);
    putWord(packet, kv2::PROBE_INFO_OFFSET + FLAGS_OFFSET, flags);
    return packet;
}

InstalledFirmware installedFirmwareOf(const ProbeInfo& info) {
    InstalledFirmware firmware;
    firmware.generation = 2;
    firmware.kind = info.kind;
    if (info.isBootloader()) {
        firmware.state = InstalledFirmware::State::BootloaderRunning;
    } else if (info.isApplication()) {
        firmware.state = InstalledFirmware::State::Installed;
        firmware.versionMajor = info.versionMajor;
        firmware.versionMinor = info.versionMinor;
        firmware.versionText = info.versionText();
        firmware.flags = info.flags;
    }
    return firmware;
}
