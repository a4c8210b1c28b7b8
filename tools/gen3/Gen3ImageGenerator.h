#pragma once

#include "gen3/FirmwareImageHeader.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <utility>

// What a generated generation-3 image holds: a header (marker, version, description),
// then a payload filled with a pattern, `size` bytes in all.
struct Gen3ImageRecipe {
    enum class Pattern { Random, Zero, Counter };

    quint16 versionMajor = 1;
    quint16 versionMinor = 0;
    QString description;  // Latin-1, at most 40 characters are kept
    // Total bytes, header included. Fewer than the 64 header bytes cut the header short
    // (a file that is not a valid image).
    qint64 size = 65536;
    Pattern pattern = Pattern::Random;
    quint32 seed = 1;             // of the Random pattern; the same seed gives the same bytes
    quint32 magic = IMAGE_MAGIC;  // another value makes an invalid image
};

// The header that `recipe` describes.
FirmwareImageHeader gen3ImageHeader(const Gen3ImageRecipe& recipe);
// The image bytes. `recipe.size` must lie between 0 and MAX_GEN3_IMAGE_SIZE.
QByteArray generateGen3Image(const Gen3ImageRecipe& recipe);
// Writes `image` to `path`, replacing the file as a whole; throws HException
// "cannot write " + path on failure.
void writeGen3Image(const QString& path, const QByteArray& image);

// The largest image the generator makes (bytes held in memory at once).
constexpr qint64 MAX_GEN3_IMAGE_SIZE = Q_INT64_C(1) << 30;

// "2.10" -> {2, 10}; nothing unless two decimal numbers of at most 65535.
std::optional<std::pair<quint16, quint16>> parseImageVersion(const QString& text);
// A byte count with an optional binary suffix: "100", "64K", "1M"; nothing when malformed
// or larger than MAX_GEN3_IMAGE_SIZE.
std::optional<qint64> parseImageSize(const QString& text);
// "random", "zero" or "counter".
std::optional<Gen3ImageRecipe::Pattern> parseImagePattern(const QString& text);
