#include "device/PosixAcl.h"

#include <QtEndian>

#include <sys/xattr.h>

#include <array>

namespace {

// An access ACL has a handful of entries; this is far more than any real one.
constexpr int MAX_ATTRIBUTE_SIZE = PosixAcl::HEADER_SIZE + 256 * PosixAcl::ENTRY_SIZE;

}  // namespace

std::optional<PosixAcl> PosixAcl::decode(QByteArrayView bytes) {
    if (bytes.size() < HEADER_SIZE || (bytes.size() - HEADER_SIZE) % ENTRY_SIZE != 0) {
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const uchar*>(bytes.data());
    if (qFromLittleEndian<quint32>(data) != VERSION) {
        return std::nullopt;
    }
    PosixAcl acl;
    for (qsizetype at = HEADER_SIZE; at + ENTRY_SIZE <= bytes.size(); at += ENTRY_SIZE) {
        Entry entry;
        entry.tag = qFromLittleEndian<quint16>(data + at + OFFSET_TAG);
        entry.permissions = qFromLittleEndian<quint16>(data + at + OFFSET_PERMISSIONS);
        entry.id = qFromLittleEndian<quint32>(data + at + OFFSET_ID);
        acl.entries.append(entry);
    }
    return acl;
}

std::optional<PosixAcl> PosixAcl::ofFile(const QByteArray& path) {
    std::array<char, MAX_ATTRIBUTE_SIZE> buffer{};
    const ssize_t size = ::getxattr(path.constData(), ATTRIBUTE, buffer.data(), buffer.size());
    if (size <= 0) {
        return std::nullopt;
    }
    return decode(QByteArrayView(buffer.data(), qsizetype(size)));
}

bool PosixAcl::grantsReadWrite(quint32 uid) const {
    constexpr quint16 READ_WRITE = READ | WRITE;
    quint16 mask = READ_WRITE;
    bool named = false;
    for (const Entry& entry : entries) {
        if (entry.tag == TAG_MASK) {
            mask = entry.permissions;
        } else if (entry.tag == TAG_USER && entry.id == uid &&
                   (entry.permissions & READ_WRITE) == READ_WRITE) {
            named = true;
        }
    }
    return named && (mask & READ_WRITE) == READ_WRITE;
}
