#include "ScriptedLink.h"

#include "app/Clock.h"
#include "app/HException.h"

#include <algorithm>
#include <cstring>

void ScriptedLink::queueReply(QByteArrayView bytes) {
    replies.push_back({bytes.toByteArray(), false});
}

void ScriptedLink::queueReadFailure() {
    replies.push_back({QByteArray(), true});
}

void ScriptedLink::failWrite(int writeIndex, int result) {
    writeFailures[writeIndex] = result;
}

void ScriptedLink::failPurge(int purgeIndex, const std::string& message) {
    purgeFailures[purgeIndex] = message;
}

int ScriptedLink::read(void* buffer, int length) {
    Event event{Event::Read, QByteArray(), length, 0, tickCountMs()};
    if (length > 0 && !replies.empty()) {
        Reply& front = replies.front();
        if (front.failure) {
            event.result = -1;
            replies.pop_front();
        } else {
            const int count = std::min<int>(length, int(front.bytes.size()));
            std::memcpy(buffer, front.bytes.constData(), size_t(count));
            event.bytes = front.bytes.left(count);
            event.result = count;
            front.bytes.remove(0, count);
            if (front.bytes.isEmpty()) {
                replies.pop_front();
            }
        }
    }
    log.push_back(event);
    return event.result;
}

int ScriptedLink::write(const void* buffer, int length) {
    const QByteArray bytes(static_cast<const char*>(buffer), length);
    const int index = writesSeen++;
    const auto failure = writeFailures.find(index);
    const int result = failure != writeFailures.end() ? failure->second : length;
    log.push_back({Event::Write, bytes, length, result, tickCountMs()});
    if (result == length && onWrite) {
        onWrite(*this, bytes);
    }
    return result;
}

bool ScriptedLink::purge() {
    const int index = purgesSeen++;
    log.push_back({Event::Purge, QByteArray(), 0, 0, tickCountMs()});
    const auto failure = purgeFailures.find(index);
    if (failure != purgeFailures.end()) {
        throw HException(failure->second);
    }
    return true;
}

void ScriptedLink::setTimeout(int milliseconds) {
    log.push_back({Event::SetTimeout, QByteArray(), milliseconds, 0, tickCountMs()});
    HDataLink::setTimeout(milliseconds);
}

QList<QByteArray> ScriptedLink::writes() const {
    QList<QByteArray> out;
    for (const Event& event : log) {
        if (event.kind == Event::Write) {
            out << event.bytes;
        }
    }
    return out;
}

int ScriptedLink::purgeCount() const {
    return int(std::count_if(log.begin(), log.end(),
                             [](const Event& e) { return e.kind == Event::Purge; }));
}

QStringList ScriptedLink::trace() const {
    QStringList out;
    for (const Event& event : log) {
        switch (event.kind) {
            case Event::Write:
                out << QStringLiteral("write %1").arg(event.length);
                break;
            case Event::Read:
                out << QStringLiteral("read %1").arg(event.length);
                break;
            case Event::Purge:
                out << QStringLiteral("purge");
                break;
            case Event::SetTimeout:
                out << QStringLiteral("timeout %1").arg(event.length);
                break;
        }
    }
    return out;
}
