#pragma once

#include "device/NodeHolders.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <sys/types.h>

// Whether this user can open a probe's device node for reading and writing, and what the
// node's owner, group, mode and ACL say about it.
struct DeviceNodeAccess {
    QString path;
    bool exists = false;
    bool accessible = false;  // open(O_RDWR) succeeded
    int error = 0;            // errno of the failed open (or of stat)
    mode_t mode = 0;          // permission bits
    QString ownerName;        // the names, or the numbers when they have none
    QString groupName;
    gid_t groupId = 0;
    bool hasAcl = false;         // an access ACL beyond the mode bits
    bool aclGrantsUser = false;  // a named entry gives this user read and write access
    bool userInGroup = false;    // this user is a member of the node's group
    // Other processes that have the node open (a debugger, say): they hold the probe, and
    // an install would find it "device already in use".
    QList<NodeHolder> holders;

    // "0664 (rw-rw-r--)".
    QString modeText() const;

    // Opens the node at `path` for reading and writing and closes it again at once (which
    // does nothing to the device), then reads its ownership, mode and ACL and looks for
    // the processes that hold it.
    static DeviceNodeAccess check(const QString& path);
};
