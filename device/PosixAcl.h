#pragma once

#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

#include <optional>

// The access ACL of a file as the kernel stores it in the extended attribute
// "system.posix_acl_access": a 4-byte version (2), then 8-byte entries of a 16-bit tag, a
// 16-bit permission set and a 32-bit user or group id, all little-endian. udev's "uaccess"
// tag makes systemd-logind add a named-user entry for the user at the seat.
struct PosixAcl {
    static constexpr char ATTRIBUTE[] = "system.posix_acl_access";
    static constexpr quint32 VERSION = 2;
    static constexpr int HEADER_SIZE = 4;
    static constexpr int ENTRY_SIZE = 8;
    static constexpr int OFFSET_TAG = 0;
    static constexpr int OFFSET_PERMISSIONS = 2;
    static constexpr int OFFSET_ID = 4;

    static constexpr quint16 TAG_USER_OBJ = 0x01;
    static constexpr quint16 TAG_USER = 0x02;
    static constexpr quint16 TAG_GROUP_OBJ = 0x04;
    static constexpr quint16 TAG_GROUP = 0x08;
    static constexpr quint16 TAG_MASK = 0x10;
    static constexpr quint16 TAG_OTHER = 0x20;

    static constexpr quint16 READ = 0x4;
    static constexpr quint16 WRITE = 0x2;

    struct Entry {
        quint16 tag = 0;
        quint16 permissions = 0;
        quint32 id = 0;
    };
    QList<Entry> entries;

    // The ACL in `bytes`; nothing when the version is not 2 or the length is not a header
    // plus whole entries.
    static std::optional<PosixAcl> decode(QByteArrayView bytes);
    // The ACL of the file at `path`; nothing when it has none (or it cannot be read).
    static std::optional<PosixAcl> ofFile(const QByteArray& path);

    // Whether a named-user entry gives `uid` read and write access, the mask permitting.
    bool grantsReadWrite(quint32 uid) const;
};

static_assert(PosixAcl::OFFSET_ID + 4 == PosixAcl::ENTRY_SIZE);
