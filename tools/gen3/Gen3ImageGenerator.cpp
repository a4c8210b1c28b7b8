#include "Gen3ImageGenerator.h"

#include "app/HException.h"

#include <QSaveFile>

#include <algorithm>

namespace {

void fillPayload(char* data, qint64 offset, qint64 end, const Gen3ImageRecipe& recipe) {
    switch (recipe.pattern) {
        case Gen3ImageRecipe::Pattern::Zero:
            std::fill(data + offset, data + end, '\0');
            break;
        case Gen3ImageRecipe::Pattern::Counter:
            // Each byte holds its own image offset, modulo 256: misplaced chunks show.
            for (qint64 i = offset; i < end; ++i) {
                data[i] = char(i & 0xFF);
            }
            break;
        case Gen3ImageRecipe::Pattern::Random: {
            // xorshift32: small, fast and the same on every platform, so a seed names an
            // image. The seed is mixed first, so that small seeds do not start with small
            // words; a mix of 0 becomes 1, as xorshift never leaves the state 0.
            quint32 state = std::max((recipe.seed ^ 0x9E3779B9u) * 0x85EBCA6Bu, 1u);
            for (qint64 i = offset; i < end; i += 4) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                for (qint64 k = 0; k < 4 && i + k < end; ++k) {
                    data[i + k] = char(state >> (8 * k));
                }
            }
            break;
        }
    }
}

}  // namespace

FirmwareImageHeader gen3ImageHeader(const Gen3ImageRecipe& recipe) {
    FirmwareImageHeader header;
    header.magic = recipe.magic;
    header.versionMajor = recipe.versionMajor;
    header.versionMinor = recipe.versionMinor;
    header.setDescription(recipe.description);
    return header;
}

QByteArray generateGen3Image(const Gen3ImageRecipe& recipe) {
    const qint64 size = std::clamp<qint64>(recipe.size, 0, MAX_GEN3_IMAGE_SIZE);
    QByteArray image(qsizetype(size), Qt::Uninitialized);
    const QByteArray header = gen3ImageHeader(recipe).toBytes();
    const qint64 headerBytes = std::min<qint64>(size, header.size());
    std::copy_n(header.constData(), headerBytes, image.data());
    fillPayload(image.data(), headerBytes, size, recipe);
    return image;
}

void writeGen3Image(const QString& path, const QByteArray& image) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.commit()) {
        throw HException(("cannot write " + path).toLocal8Bit().toStdString());
    }
}

std::optional<std::pair<quint16, quint16>> parseImageVersion(const QString& text) {
    const QStringList parts = text.split(u'.');
    if (parts.size() != 2) {
        return std::nullopt;
    }
    bool majorOk = false;
    bool minorOk = false;
    const uint major = parts[0].toUInt(&majorOk);
    const uint minor = parts[1].toUInt(&minorOk);
    if (!majorOk || !minorOk || major > 0xFFFF || minor > 0xFFFF) {
        return std::nullopt;
    }
    return std::pair{quint16(major), quint16(minor)};
}

std::optional<qint64> parseImageSize(const QString& text) {
    QString digits = text.trimmed();
    qint64 unit = 1;
    if (digits.endsWith(u'K', Qt::CaseInsensitive)) {
        unit = 1024;
    } else if (digits.endsWith(u'M', Qt::CaseInsensitive)) {
        unit = qint64(1024) * 1024;
    }
    if (unit != 1) {
        digits.chop(1);
    }
    bool ok = false;
    const qint64 count = digits.toLongLong(&ok);
    if (!ok || count < 0 || count > MAX_GEN3_IMAGE_SIZE / unit) {
        return std::nullopt;
    }
    return count * unit;
}

std::optional<Gen3ImageRecipe::Pattern> parseImagePattern(const QString& text) {
    if (text == u"random") {
        return Gen3ImageRecipe::Pattern::Random;
    }
    if (text == u"zero") {
        return Gen3ImageRecipe::Pattern::Zero;
    }
    if (text == u"counter") {
        return Gen3ImageRecipe::Pattern::Counter;
    }
    return std::nullopt;
}
