#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QtGlobal>

#include <mutex>

// What a probe still owes the host: every read that gave up waiting (a time-out) leaves
// the bytes it did not receive to arrive later, in order, ahead of the answer to the next
// request, and keeps the bytes it did receive, which the next read on the device continues
// (so that no read starts in the middle of a reply). The links keep this here, per device
// and across links: a ReadInfo that must trust its answer first discards what is owed.
//
// Kept per device path: a device that re-enumerates (a restart) gets a new address, and
// its new attachment owes nothing. Thread-safe.
class OwedReplies {
public:
    struct Owed {
        QByteArray received;     // the start of a reply a read gave up on; the next continues
        int bytes = 0;           // still to arrive ahead of anything else
        quint32 deadlineMs = 0;  // after this what is still to arrive is presumed lost

        bool isEmpty() const { return received.isEmpty() && bytes == 0; }
    };

    // Takes what `devicePath` owes (an empty record when nothing); the caller settles it
    // and puts back what is left.
    Owed take(const QString& devicePath);
    // Stores what `devicePath` owes; an empty record forgets the device.
    void put(const QString& devicePath, const Owed& record);
    // Whether `devicePath` owes anything.
    bool owes(const QString& devicePath) const;

private:
    mutable std::mutex mutex;
    QHash<QString, Owed> owed;
};
