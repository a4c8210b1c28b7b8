#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <array>
#include <optional>
#include <span>

// Marker in the first word of every valid generation-3 image (bytes 0D F0 FE CA).
constexpr quint32 IMAGE_MAGIC = 0xCAFEF00D;

// The 64-byte header at the start of every generation-3 firmware image. The same bytes
// sit in the image file, in the probe's memory at the image's start and inside the loader
// information record. All integers are little-endian.
struct FirmwareImageHeader {
    static constexpr int OFFSET_MAGIC = 0;
    static constexpr int OFFSET_RESERVED = 4;
    static constexpr int RESERVED_WORDS = 4;
    static constexpr int OFFSET_VERSION_MAJOR = 20;
    static constexpr int OFFSET_VERSION_MINOR = 22;
    static constexpr int OFFSET_DESCRIPTION = 24;
    static constexpr int DESCRIPTION_SIZE = 40;
    static constexpr int SIZE = 64;

    quint32 magic = 0;
    std::array<quint32, RESERVED_WORDS> reserved{};  // carried, never interpreted
    quint16 versionMajor = 0;
    quint16 versionMinor = 0;
    // Latin-1 text, NUL-ended when shorter than the field; kept byte for byte.
    std::array<char, DESCRIPTION_SIZE> description{};

    static FirmwareImageHeader decode(std::span<const quint8, SIZE> bytes);
    // The header at the start of `bytes`, or nothing when fewer than SIZE bytes are given.
    static std::optional<FirmwareImageHeader> fromBytes(QByteArrayView bytes);
    // The header at the start of `bytes` when it is one of a firmware image (it carries the
    // image magic), or nothing.
    static std::optional<FirmwareImageHeader> validFromBytes(QByteArrayView bytes);
    void encode(std::span<quint8, SIZE> bytes) const;
    QByteArray toBytes() const;

    bool hasImageMagic() const { return magic == IMAGE_MAGIC; }
    // The description up to its NUL, or all 40 characters when there is none.
    QString descriptionText() const;
    // Stores `text` as Latin-1: up to 40 characters, the rest of the field NUL.
    void setDescription(const QString& text);

    friend bool operator==(const FirmwareImageHeader&, const FirmwareImageHeader&) = default;
};

static_assert(FirmwareImageHeader::OFFSET_RESERVED ==
              FirmwareImageHeader::OFFSET_MAGIC + int(sizeof(quint32)));
static_assert(FirmwareImageHeader::OFFSET_VERSION_MAJOR ==
              FirmwareImageHeader::OFFSET_RESERVED +
                  FirmwareImageHeader::RESERVED_WORDS * int(sizeof(quint32)));
static_assert(FirmwareImageHeader::OFFSET_VERSION_MINOR ==
              FirmwareImageHeader::OFFSET_VERSION_MAJOR + int(sizeof(quint16)));
static_assert(FirmwareImageHeader::OFFSET_DESCRIPTION ==
              FirmwareImageHeader::OFFSET_VERSION_MINOR + int(sizeof(quint16)));
static_assert(FirmwareImageHeader::SIZE ==
              FirmwareImageHeader::OFFSET_DESCRIPTION + FirmwareImageHeader::DESCRIPTION_SIZE);

// "major.minor - description", the numbers in decimal: 2, 10 and "x" give "2.10 - x".
QString imageVersionText(const FirmwareImageHeader& header);
