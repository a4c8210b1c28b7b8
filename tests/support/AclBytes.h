#pragma once

#include "device/PosixAcl.h"

#include <QByteArray>
#include <QtEndian>

#include <initializer_list>

// An extended attribute system.posix_acl_access of that version holding `entries`, as the
// kernel stores it.
inline QByteArray aclBytes(quint32 version, std::initializer_list<PosixAcl::Entry> entries) {
    QByteArray bytes(PosixAcl::HEADER_SIZE, '\0');
    qToLittleEndian(version, bytes.data());
    for (const PosixAcl::Entry& entry : entries) {
        QByteArray raw(PosixAcl::ENTRY_SIZE, '\0');
        qToLittleEndian(entry.tag, raw.data() + PosixAcl::OFFSET_TAG);
        qToLittleEndian(entry.permissions, raw.data() + PosixAcl::OFFSET_PERMISSIONS);
        qToLittleEndian(entry.id, raw.data() + PosixAcl::OFFSET_ID);
        bytes += raw;
    }
    return bytes;
}
