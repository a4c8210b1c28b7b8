// The message a later kvtool instance sends to the running one, as the running one decodes
// it from whatever another local program writes to the socket, in pieces of any size.
// Whatever arrives, the decoder asks for a bounded number of bytes, refuses more than it
// asked for, recognises a wrong marker or an over-long length as malformed, and a complete
// frame gives the UTF-16 text of the payload up to its first zero unit, which encodes and
// decodes back to itself.
#include "FuzzCheck.h"
#include "FuzzInput.h"

#include "app/InstanceMessage.h"

#include <QtEndian>

#include <cstring>

using namespace InstanceMessage;

namespace {

constexpr int MAX_PIECE = 300;

// Feeds a frame as a well-behaved sender does: what the decoder asks for, piece by piece.
Decoder::State decodeAll(Decoder& decoder, QByteArrayView frame) {
    while (decoder.state() == Decoder::State::NeedMore && !frame.isEmpty()) {
        const qsizetype piece = std::min(decoder.wanted(), frame.size());
        decoder.feed(frame.first(piece));
        frame = frame.sliced(piece);
    }
    return decoder.state();
}

// The text of a payload: whole UTF-16LE units up to the first zero unit.
QString payloadText(QByteArrayView payload) {
    QString text;
    for (qsizetype i = 0; i + 1 < payload.size(); i += UNIT_SIZE) {
        const char16_t unit = qFromLittleEndian<quint16>(payload.data() + i);
        if (unit == 0) {
            break;
        }
        text.append(QChar(unit));
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const bool politeSender = input.flag();
    const int pieceSeed = input.byte();
    const QByteArray stream = input.rest();

    Decoder decoder;
    QByteArray fed;
    bool overfed = false;
    qsizetype position = 0;
    int pieceState = pieceSeed;
    while (decoder.state() == Decoder::State::NeedMore && position < stream.size()) {
        const qsizetype wanted = decoder.wanted();
        FUZZ_CHECK(wanted > 0 && wanted <= HEADER_SIZE + qsizetype(MAX_PAYLOAD_BYTES));
        pieceState = (pieceState * 73 + 41) % 251;
        const qsizetype chosen = politeSender ? wanted : 1 + pieceState % MAX_PIECE;
        const QByteArray piece = stream.mid(position, chosen);
        position += piece.size();
        overfed = overfed || piece.size() > wanted;
        fed += piece;
        const Decoder::State state = decoder.feed(piece);
        FUZZ_CHECK(piece.size() <= wanted || state == Decoder::State::Malformed);
    }

    switch (decoder.state()) {
        case Decoder::State::NeedMore:
            FUZZ_CHECK(position == stream.size() && decoder.wanted() > 0);
            break;
        case Decoder::State::Malformed: {
            // Too much at once, a wrong marker, or a declared length over the bound.
            const bool wrongMagic =
                std::memcmp(fed.constData(), MAGIC, size_t(std::min(fed.size(), MAGIC_SIZE))) != 0;
            const bool tooLong =
                fed.size() >= HEADER_SIZE &&
                qFromLittleEndian<quint32>(fed.constData() + LENGTH_OFFSET) > MAX_PAYLOAD_BYTES;
            FUZZ_CHECK(overfed || wrongMagic || tooLong);
            FUZZ_CHECK(decoder.wanted() == 0);
            break;
        }
        case Decoder::State::Complete: {
            FUZZ_CHECK(!overfed && decoder.wanted() == 0);
            FUZZ_CHECK(decoder.text() == payloadText(QByteArrayView(fed).sliced(HEADER_SIZE)));
            FUZZ_CHECK(decoder.text().size() <= MAX_TEXT_UNITS);
            // Later bytes change nothing.
            FUZZ_CHECK(decoder.feed("x") == Decoder::State::Complete);
            const std::optional<QByteArray> frame = encode(decoder.text());
            FUZZ_CHECK(frame.has_value());
            Decoder again;
            FUZZ_CHECK(decodeAll(again, *frame) == Decoder::State::Complete);
            FUZZ_CHECK(again.text() == decoder.text());
            break;
        }
    }

    // The other way round: any text up to its first NUL survives encoding and decoding.
    const QString text(reinterpret_cast<const QChar*>(stream.constData()), stream.size() / 2);
    const std::optional<QByteArray> frame = encode(text);
    FUZZ_CHECK(frame.has_value() == (text.size() <= MAX_TEXT_UNITS));
    if (frame) {
        Decoder decoded;
        FUZZ_CHECK(decodeAll(decoded, *frame) == Decoder::State::Complete);
        const qsizetype nul = text.indexOf(QChar(0));
        FUZZ_CHECK(decoded.text() == (nul < 0 ? text : text.left(nul)));
    }
    return 0;
}
