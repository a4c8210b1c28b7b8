#include "app/InstanceMessage.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <ostream>
#include <random>

namespace {

using namespace InstanceMessage;
using State = Decoder::State;

QByteArray header(quint32 payloadSize, QByteArrayView magic = QByteArrayView(MAGIC, MAGIC_SIZE)) {
    QByteArray bytes = magic.toByteArray();
    char length[LENGTH_SIZE];
    qToLittleEndian<quint32>(payloadSize, length);
    bytes.append(length, LENGTH_SIZE);
    return bytes;
}

QByteArray units(std::initializer_list<char16_t> values) {
    QByteArray bytes;
    for (const char16_t value : values) {
        bytes.append(static_cast<char>(value & 0xFF));
        bytes.append(static_cast<char>(value >> 8));
    }
    return bytes;
}

// Feeds `bytes` the way the receiving connection does: never more than wanted().
State decodeInPieces(Decoder& decoder, const QByteArray& bytes, qsizetype pieceSize) {
    qsizetype offset = 0;
    while (decoder.state() == State::NeedMore && offset < bytes.size()) {
        const qsizetype take = std::min({pieceSize, decoder.wanted(), bytes.size() - offset});
        decoder.feed(QByteArrayView(bytes).sliced(offset, take));
        offset += take;
    }
    return decoder.state();
}

TEST(InstanceMessage, FiveCharactersMakeATwelveBytePayloadWithATerminator) {
    const std::optional<QByteArray> frame = encode(QStringLiteral("E:/fw"));
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(*frame, header(12) + units({u'E', u':', u'/', u'f', u'w', 0}));
}

TEST(InstanceMessage, TheEmptyTextIsOneZeroUnit) {
    EXPECT_EQ(encode(QString()), header(2) + units({0}));
    EXPECT_EQ(encode(QStringLiteral("")), header(2) + units({0}));
}

struct RoundTrip {
    const char* name;
    QString text;
};

void PrintTo(const RoundTrip& value, std::ostream* os) {
    *os << value.name;
}

class InstanceMessageRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(InstanceMessageRoundTrip, WholeAndByteByByte) {
    const std::optional<QByteArray> frame = encode(GetParam().text);
    ASSERT_TRUE(frame.has_value());
    for (const qsizetype piece : {qsizetype(1), qsizetype(3), frame->size()}) {
        Decoder decoder;
        EXPECT_EQ(decodeInPieces(decoder, *frame, piece), State::Complete) << piece;
        EXPECT_EQ(decoder.text(), GetParam().text) << piece;
        EXPECT_EQ(decoder.wanted(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, InstanceMessageRoundTrip,
    ::testing::Values(RoundTrip{"empty", QString()}, RoundTrip{"path", QStringLiteral("E:/fw")},
                      RoundTrip{"non_ascii_and_surrogates",
                                QString::fromUtf8("/home/jö/固件/\xF0\x9D\x84\x9E")},
                      RoundTrip{"longest", QString(MAX_TEXT_UNITS, u'x')}),
    [](const auto& info) { return std::string(info.param.name); });

// The fields follow the text's terminator, so a frame without them is the plain text
// frame, and a receiver that knows no fields still reads the text.
TEST(InstanceMessage, FieldsRoundTripAfterTheText) {
    EXPECT_EQ(encode(Message{QStringLiteral("E:/fw"), QString(), QString()}),
              encode(QStringLiteral("E:/fw")));
    const Message message{QStringLiteral("E:/fw"), QStringLiteral("0123abcd"),
                          QStringLiteral("launcher-1_TIME42")};
    const std::optional<QByteArray> frame = encode(message);
    ASSERT_TRUE(frame.has_value());
    Decoder decoder;
    EXPECT_EQ(decodeInPieces(decoder, *frame, 3), State::Complete);
    EXPECT_EQ(decoder.message(), message);
    // A token that would not fit is not sent in part.
    EXPECT_FALSE(encode(Message{QString(MAX_TEXT_UNITS - 4, u'x'), QStringLiteral("t"), {}}));
}

TEST(InstanceMessage, ATextBeyondTheBoundIsNotEncoded) {
    EXPECT_TRUE(encode(QString(MAX_TEXT_UNITS, u'x')).has_value());
    EXPECT_FALSE(encode(QString(MAX_TEXT_UNITS + 1, u'x')).has_value());
}

struct Received {
    const char* name;
    QByteArray bytes;
    State state;
    QString text;
    QString activationToken = QString();
    QString startupId = QString();
};

QByteArray unitsOf(const QString& text) {
    QByteArray bytes;
    for (const QChar unit : text) {
        bytes.append(char(unit.unicode() & 0xFF));
        bytes.append(char(unit.unicode() >> 8));
    }
    return bytes;
}

void PrintTo(const Received& value, std::ostream* os) {
    *os << value.name;
}

class InstanceMessageDecoding : public ::testing::TestWithParam<Received> {};

TEST_P(InstanceMessageDecoding, Frame) {
    Decoder decoder;
    EXPECT_EQ(decodeInPieces(decoder, GetParam().bytes, GetParam().bytes.size()), GetParam().state);
    if (GetParam().state == State::Complete) {
        EXPECT_EQ(decoder.text(), GetParam().text);
        EXPECT_EQ(decoder.message(),
                  (Message{GetParam().text, GetParam().activationToken, GetParam().startupId}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, InstanceMessageDecoding,
    ::testing::Values(
        Received{"stops_at_the_first_zero_unit", header(10) + units({u'a', u'b', 0, u'c', u'd'}),
                 State::Complete, QStringLiteral("ab")},
        Received{
            "fields_after_the_text",
            header(108) + unitsOf(QStringLiteral("ab%1xdg-activation-token=T1%1desktop-startup-"
                                                 "id=S_TIME9%1")
                                      .arg(QChar(0))),
            State::Complete, QStringLiteral("ab"), QStringLiteral("T1"), QStringLiteral("S_TIME9")},
        Received{"fields_not_ours_are_passed_over",
                 header(102) + unitsOf(QStringLiteral("ab%1colour=blue%1noequals%1=x%1xdg-"
                                                      "activation-token=T%1%1")
                                           .arg(QChar(0))),
                 State::Complete, QStringLiteral("ab"), QStringLiteral("T")},
        Received{"without_terminator_takes_every_unit", header(4) + units({u'a', u'b'}),
                 State::Complete, QStringLiteral("ab")},
        Received{"an_odd_last_byte_is_not_a_unit", header(5) + units({u'a', u'b'}) + "c",
                 State::Complete, QStringLiteral("ab")},
        Received{"zero_length", header(0), State::Complete, QString()},
        Received{"the_largest_length",
                 header(MAX_PAYLOAD_BYTES) + QByteArray(MAX_PAYLOAD_BYTES, 'A'), State::Complete,
                 QString(MAX_PAYLOAD_BYTES / 2, QChar(0x4141))},
        Received{"length_above_the_bound", header(MAX_PAYLOAD_BYTES + 2), State::Malformed, {}},
        Received{"length_all_ones", header(0xFFFFFFFFu), State::Malformed, {}},
        Received{"wrong_magic", header(2, "KVIX") + units({0}), State::Malformed, {}},
        Received{"garbage", QByteArray("GET / HTTP/1.0\r\n\r\n"), State::Malformed, {}},
        Received{"declared_far_more_than_sent", header(60000) + units({u'a'}), State::NeedMore, {}},
        Received{"header_cut_short", header(2).left(6), State::NeedMore, {}},
        Received{"nothing", QByteArray(), State::NeedMore, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstanceMessage, AWrongMagicIsRecognisedAtItsFirstByte) {
    Decoder decoder;
    EXPECT_EQ(decoder.feed("KV"), State::NeedMore);
    EXPECT_EQ(decoder.feed("X"), State::Malformed);
    EXPECT_EQ(decoder.wanted(), 0);
    EXPECT_EQ(decoder.feed("M"), State::Malformed);
}

TEST(InstanceMessage, WantedNeverReachesPastTheFrame) {
    Decoder decoder;
    EXPECT_EQ(decoder.wanted(), HEADER_SIZE);
    decoder.feed(header(6));
    EXPECT_EQ(decoder.wanted(), 6);
    decoder.feed(units({u'o'}));
    EXPECT_EQ(decoder.wanted(), 4);
    // More than the frame still needs is refused, not buffered.
    EXPECT_EQ(decoder.feed(units({u'k', 0, u'!'})), State::Malformed);
}

// Random bytes, including frames with a valid magic and random lengths, fed in random
// pieces: the decoder must never read out of bounds (checked by the sanitizers) and must
// only complete frames whose header was valid.
TEST(InstanceMessage, RandomBytesNeverBreakTheDecoder) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> size(0, 64);
    std::uniform_int_distribution<int> piece(1, 16);
    for (int round = 0; round < 20000; ++round) {
        QByteArray bytes;
        if (round % 2 == 0) {
            bytes = header(static_cast<quint32>(size(random)) * (round % 4 == 0 ? 1 : 4099));
        }
        const int extra = size(random);
        for (int i = 0; i < extra; ++i) {
            bytes.append(static_cast<char>(byte(random)));
        }
        Decoder decoder;
        const State state = decodeInPieces(decoder, bytes, piece(random));
        if (state == State::Complete) {
            ASSERT_TRUE(bytes.startsWith(QByteArrayView(MAGIC, MAGIC_SIZE)));
            const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + LENGTH_OFFSET);
            ASSERT_LE(length, static_cast<quint32>(bytes.size() - HEADER_SIZE));
            ASSERT_LE(decoder.text().size(), static_cast<qsizetype>(length / UNIT_SIZE));
        }
    }
}

}  // namespace
