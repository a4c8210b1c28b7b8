#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

// The message that a later kvtool instance hands to the running one over the instance's
// local socket, and the receiver's acknowledgement.
//
// Frame: MAGIC (4 bytes), the payload length in bytes (32-bit little-endian), then the
// payload: the text as UTF-16 little-endian code units followed by one zero unit. The
// receiver takes the units up to the first zero unit and never reads past the declared
// length; a declared length above MAX_PAYLOAD_BYTES is refused. Having emitted the text,
// the receiver answers with the single byte ACK.
//
// After the text's zero unit the payload may carry fields, each "name=value" in UTF-16
// little-endian units followed by one zero unit: how the sender's launch lets the running
// instance come to the front (ACTIVATION_TOKEN_FIELD, STARTUP_ID_FIELD). A receiver that
// knows no fields reads the text alone, and one that does ignores names it does not know,
// so a frame without fields is the plain text frame.
namespace InstanceMessage {

constexpr char MAGIC[] = {'K', 'V', 'I', 'M'};
constexpr qsizetype MAGIC_SIZE = sizeof(MAGIC);
constexpr qsizetype LENGTH_SIZE = sizeof(quint32);
constexpr qsizetype LENGTH_OFFSET = MAGIC_SIZE;
constexpr qsizetype HEADER_SIZE = MAGIC_SIZE + LENGTH_SIZE;
constexpr qsizetype UNIT_SIZE = sizeof(char16_t);
// Far more than any path; small enough that a connection's buffer stays cheap.
constexpr quint32 MAX_PAYLOAD_BYTES = 64 * 1024;
constexpr char ACK = 0x06;

static_assert(HEADER_SIZE == 8, "magic and length make an 8-byte header");
static_assert(MAX_PAYLOAD_BYTES % UNIT_SIZE == 0, "the bound holds whole code units");

// The longest text that fits, terminator included.
constexpr qsizetype MAX_TEXT_UNITS = MAX_PAYLOAD_BYTES / UNIT_SIZE - 1;

// An xdg-activation token (Wayland) that lets the receiver activate its window.
constexpr QStringView ACTIVATION_TOKEN_FIELD = u"xdg-activation-token";
// The launcher's startup id (X11), whose startup notification the receiver ends.
constexpr QStringView STARTUP_ID_FIELD = u"desktop-startup-id";

// What one frame carries.
struct Message {
    QString text;
    QString activationToken;  // empty: none
    QString startupId;        // empty: none
    bool operator==(const Message&) const = default;
};

// The frame for `text`; nothing when the text is longer than MAX_TEXT_UNITS.
std::optional<QByteArray> encode(const QString& text);
// The frame for `message`, its fields after the text; nothing when it does not fit in
// MAX_PAYLOAD_BYTES.
std::optional<QByteArray> encode(const Message& message);

// Reads one frame from bytes that arrive in pieces. The owner asks wanted() how many bytes
// to read next and hands them to feed(); the decoder never holds more than one frame.
class Decoder {
public:
    enum class State { NeedMore, Complete, Malformed };

    // How many more bytes the frame needs (0 once complete or malformed).
    qsizetype wanted() const;
    // Takes the next bytes; anything beyond wanted() makes the frame malformed. A wrong
    // magic or an over-long declared length is recognised as soon as its bytes arrive.
    State feed(QByteArrayView bytes);
    State state() const { return current; }
    // The text of a complete frame.
    const QString& text() const { return decoded.text; }
    // All that a complete frame carries.
    const Message& message() const { return decoded; }

private:
    State check();

    QByteArray buffer;
    State current = State::NeedMore;
    Message decoded;
};

}  // namespace InstanceMessage
