#pragma once

#include "device/HDataLink.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QStringList>
#include <QtGlobal>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A data link whose far end is a script: reads are served from queued replies, writes,
// purges and time-out changes are recorded in order (with the project clock's tick), and
// single writes and purges can be made to fail. Replies form a byte stream: a read takes
// what it asks for from the front reply and leaves the rest for the next read; a reply
// shorter than the read makes it return short, as a link whose probe fell silent does.
class ScriptedLink : public HDataLink {
public:
    struct Event {
        enum Kind { Write, Read, Purge, SetTimeout };
        Kind kind;
        QByteArray bytes;  // written or delivered
        int length = 0;    // requested (read, write) or the new time-out
        int result = 0;    // what read/write returned
        quint32 tickMs = 0;
    };

    // The next read gets these bytes (or its share of them).
    void queueReply(QByteArrayView bytes);
    void queueReplyHex(const char* hex) { queueReply(QByteArray::fromHex(hex)); }
    // The next read returns -1 (a failed transfer) and consumes nothing else.
    void queueReadFailure();
    // The write with this 0-based index returns `result` instead of its length.
    void failWrite(int writeIndex, int result);
    // The purge with this 0-based index throws HException(message).
    void failPurge(int purgeIndex, const std::string& message);
    // Called after every successful write with the bytes written, e.g. to queue the
    // reply a loader would give.
    std::function<void(ScriptedLink& link, QByteArrayView written)> onWrite;

    int read(void* buffer, int length) override;
    int write(const void* buffer, int length) override;
    bool purge() override;
    void setTimeout(int milliseconds) override;

    const std::vector<Event>& events() const { return log; }
    // Bytes of every write, in order.
    QList<QByteArray> writes() const;
    int purgeCount() const;
    // The events in short form: "timeout 60000", "purge", "write 5", "read 2" (for reads
    // and writes the requested length).
    QStringList trace() const;
    // Replies not yet read.
    qsizetype pendingReplies() const { return qsizetype(replies.size()); }

private:
    struct Reply {
        QByteArray bytes;
        bool failure = false;
    };
    std::deque<Reply> replies;
    std::map<int, int> writeFailures;
    std::map<int, std::string> purgeFailures;
    std::vector<Event> log;
    int writesSeen = 0;
    int purgesSeen = 0;
};
