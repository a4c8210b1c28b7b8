#pragma once

#include <string>

// The one exception type of kvtool. Every failure below the main window travels as an
// HException carrying a fixed English message; composite steps prefix the message of
// the failure they caught with their own fixed text.
class HException {
public:
    explicit HException(const std::string& message);
    HException(const HException& other) = default;
    HException& operator=(const HException& other) = default;
    virtual ~HException();

    // The message as a NUL-terminated 8-bit string, valid while this object lives.
    const char* messageText() const { return message.c_str(); }

private:
    std::string message;
};

#include <QString>

// The message as toolkit text, for labels and message boxes. Messages carry file paths in
// the local 8-bit encoding (UTF-8 on Linux), so they are decoded the same way.
inline QString messageOf(const HException& e) {
    return QString::fromLocal8Bit(e.messageText());
}
