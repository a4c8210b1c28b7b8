#pragma once

#include <QByteArray>
#include <QList>

#include <initializer_list>

// Whether `message` is one of `messages`, or starts with one of `prefixes` (messages that
// name a path, a size or a serial number after a fixed beginning).
inline bool knownMessage(const char* message, std::initializer_list<const char*> messages,
                         std::initializer_list<const char*> prefixes = {}) {
    const QByteArray text(message);
    for (const char* known : messages) {
        if (text == known) {
            return true;
        }
    }
    for (const char* prefix : prefixes) {
        if (text.startsWith(prefix)) {
            return true;
        }
    }
    return false;
}
