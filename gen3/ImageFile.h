#pragma once

#include "gen3/FirmwareImageHeader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <limits>
#include <optional>

// Generation-3 image files: the raw image bytes, header first, written unchanged to the
// probe's memory from IMAGE_BASE_ADDRESS.

// Probe address of an image's first byte.
constexpr quint32 IMAGE_BASE_ADDRESS = 0x2000;

// Reads the first `size` bytes of the file named `path`, or the whole file when `size` is
// 0, in one read; the result holds exactly that many bytes. Throws "cannot open " + path
// when the file cannot be opened (or is not a regular file) and "cannot read " + path when
// fewer bytes arrive. The file is closed on every way out.
QByteArray readImageFile(const QString& path, qint64 size = 0);
// The same into the caller's buffer of at least `size` bytes (`size` above 0).
void readImageFile(const QString& path, qint64 size, char* buffer);

// The largest image that can be installed: its bytes must fit the probe's 32-bit address
// range from IMAGE_BASE_ADDRESS, and its size the int counts of the progress reports.
constexpr qint64 MAX_INSTALL_IMAGE_SIZE =
    qMin<qint64>(std::numeric_limits<int>::max(), (Q_INT64_C(1) << 32) - IMAGE_BASE_ADDRESS);

// The most a generation-3 probe holds from IMAGE_BASE_ADDRESS (the largest flash of the
// range): a larger file is refused before it is read whole, and never sent.
constexpr qint64 LARGEST_PROBE_IMAGE = Q_INT64_C(16) * 1024 * 1024;
static_assert(LARGEST_PROBE_IMAGE <= MAX_INSTALL_IMAGE_SIZE);

// Refuses a range of `size` bytes from `address` that is negative, does not fit an int or
// runs past the end of the 32-bit address range: throws "image too large: ..." (or
// "invalid image size: ...").
void checkImageRange(quint32 address, qint64 size);

// Refuses an image that cannot be installed as it is: shorter than a header, without the
// image marker, or too large (checkImageRange from IMAGE_BASE_ADDRESS). `path`, when not
// empty, is named in the message.
void checkInstallImage(QByteArrayView image, const QString& path = QString());

// The whole file for an install, read as readImageFile does, except that a file too large
// to install (above MAX_INSTALL_IMAGE_SIZE) is refused before anything is read or
// allocated: "image too large: " + path + sizes. The header is not examined here: the
// caller checks the bytes with checkInstallImage, so that a file changed on disk since it
// was chosen is never installed, and can tell that refusal from "cannot open"/"cannot read".
QByteArray readInstallImage(const QString& path);

// The header of the image file named `path` when its first 64 bytes can be read and carry
// the image marker; nothing otherwise. Never throws.
std::optional<FirmwareImageHeader> readValidImageHeader(const QString& path);
