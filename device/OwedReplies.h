#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <mutex>

// The replies a probe still owes the host: every read that gave up waiting (a time-out)
// leaves the bytes it did not receive to arrive later, in order, ahead of the answer to
// the next request. Without sequence numbers on the link, the next exchange with the same
// device would read them as its own answer, and every later answer one request late. The
// links record each read they give up on here, per device and across links, and the next
// exchange discards what is owed before it trusts what it reads.
//
// Kept per device path: a device that re-enumerates (a restart) gets a new address, and
// its new attachment owes nothing. Thread-safe.
class OwedReplies {
public:
    struct Debt {
        int bytes = 0;           // still to arrive
        quint32 deadlineMs = 0;  // after this the reply is presumed lost
    };

    // A read on `devicePath` gave up with `bytes` not received; they may still arrive until
    // `deadlineMs` on the project clock.
    void record(const QString& devicePath, int bytes, quint32 deadlineMs);
    // Takes every debt of `devicePath` (the caller settles them).
    QList<Debt> take(const QString& devicePath);
    // Whether `devicePath` owes anything.
    bool owes(const QString& devicePath) const;

private:
    mutable std::mutex mutex;
    QHash<QString, QList<Debt>> debts;
};
