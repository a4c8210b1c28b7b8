#include "gen2/KV2VersionRecord.h"

#include "gen2/KV2ImageLayout.h"

#include <QtEndian>

#include <algorithm>

QByteArray KV2VersionRecord::encode() const {
    QByteArray bytes(SIZE, '\0');
    std::copy(TAG.begin(), TAG.end(), bytes.begin());
    qToBigEndian(versionMajor, bytes.data() + VERSION_MAJOR_OFFSET);
    qToBigEndian(versionMinor, bytes.data() + VERSION_MINOR_OFFSET);
    qToBigEndian(flags, bytes.data() + FLAGS_OFFSET);
    return bytes;
}

std::optional<qsizetype> KV2VersionRecord::offsetIn(QByteArrayView memory) {
    if (memory.size() < SIZE)
        return std::nullopt;
    // Only a tag with room for the whole record after it counts.
    const qsizetype at = memory.lastIndexOf(kv2::bytesOf(TAG), memory.size() - SIZE);
    if (at < 0)
        return std::nullopt;
    return at;
}

std::optional<KV2VersionRecord> KV2VersionRecord::find(QByteArrayView memory) {
    const std::optional<qsizetype> at = offsetIn(memory);
    if (!at)
        return std::nullopt;
    const char* record = memory.data() + *at;
    KV2VersionRecord found;
    found.versionMajor = qFromBigEndian<quint16>(record + VERSION_MAJOR_OFFSET);
    found.versionMinor = qFromBigEndian<quint16>(record + VERSION_MINOR_OFFSET);
    found.flags = qFromBigEndian<quint16>(record + FLAGS_OFFSET);
    return found;
}

ProbeInfo KV2VersionRecord::applicationInfo() const {
    ProbeInfo info;
    info.kind = ProbeInfo::KIND_APPLICATION;
    info.versionMajor = versionMajor;
    info.versionMinor = versionMinor;
    info.flags = flags;
    return info;
}
