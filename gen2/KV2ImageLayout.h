#pragma once

#include "device/UsbIds.h"

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <array>
#include <cstddef>

// Layout of a generation-2 firmware image: a raw memory image of the probe's flash, byte 0
// of the file being flash address 0, without header or checksum. The bytes below the
// application zone belong to the resident bootloader and are never sent to the probe. The
// marks that identify a firmware image are found by searching from the end of the image;
// none of them has a fixed offset.
//
// The definitions here are shared by the image loader, the image generator and the
// emulated probe, so that all three agree on every byte.
namespace kv2 {

// UTF-16LE bytes of a text literal (the form of USB string descriptors).
template <std::size_t N>
constexpr std::array<char, 2 * (N - 1)> utf16le(const char16_t (&text)[N]) {
    std::array<char, 2 * (N - 1)> bytes{};
    for (std::size_t i = 0; i + 1 < N; ++i) {
        bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return bytes;
}

// A byte pattern as a view of all its bytes (a char array would be cut at its first NUL).
template <std::size_t N>
QByteArrayView bytesOf(const std::array<char, N>& pattern) {
    return QByteArrayView(pattern.data(), qsizetype(N));
}

// First flash address of the application zone: the first image byte sent to the probe.
constexpr int APPLICATION_ZONE_START = 0x200;
// Largest image the bootloader download accepts (its addresses fit 16 bits).
constexpr int MAX_IMAGE_SIZE = 0x33FF;

// Head copy: the first bytes of the image replace the first bytes of the application zone
// once the image is loaded.
constexpr int HEAD_COPY_LENGTH = 128;
constexpr int MIN_IMAGE_SIZE = APPLICATION_ZONE_START + HEAD_COPY_LENGTH;

// "(@)#": directly followed by the USB string descriptor that holds the serial number.
constexpr std::array<char, 4> SERIAL_MARKER{'(', '@', ')', '#'};
// From the marker: the descriptor's length byte, its type byte, then the characters.
constexpr int SERIAL_LENGTH_BYTE_OFFSET = 4;
constexpr int SERIAL_TYPE_BYTE_OFFSET = 5;
constexpr int SERIAL_FIELD_OFFSET = 6;
// Bytes per character of the serial-number field (UTF-16LE).
constexpr int SERIAL_BYTES_PER_CHARACTER = 2;
// Type byte of a USB string descriptor (not examined by the loader).
constexpr quint8 STRING_DESCRIPTOR_TYPE = 0x03;

// Bytes 4 to 9 of the probe's USB device descriptor: class, subclass and protocol 0,
// control packet size 64, the vendor id little-endian. The product id follows.
constexpr std::array<char, 6> DEVICE_DESCRIPTOR_PATTERN{
    0x00, 0x00, 0x00, 0x40, char(PROBE_VENDOR_ID & 0xFF), char(PROBE_VENDOR_ID >> 8)};
// Where the pattern begins inside the device descriptor.
constexpr int DEVICE_DESCRIPTOR_PATTERN_OFFSET = 4;

// The maker's name as it stands in the firmware's string descriptors.
constexpr std::array<char, 12> MAKER_NAME = utf16le(u"Tolvek");

static_assert(SERIAL_FIELD_OFFSET == SERIAL_TYPE_BYTE_OFFSET + 1);
static_assert(SERIAL_TYPE_BYTE_OFFSET == SERIAL_LENGTH_BYTE_OFFSET + 1);
static_assert(int(SERIAL_MARKER.size()) == SERIAL_LENGTH_BYTE_OFFSET);
static_assert(MAX_IMAGE_SIZE <= 0x10000, "every programmed address must fit 16 bits");
static_assert(MIN_IMAGE_SIZE == 640);

// The serial-number field: offset of its first character and its length in characters.
// The length follows the descriptor's length byte L as L / 2 - 1 (integer division), so
// a malformed descriptor with L below 2 gives -1, which no serial number matches.
struct SerialField {
    qint32 offset = 0;
    qint32 length = 0;

    // Bytes the field covers (none for a negative length).
    qint32 byteCount() const { return length > 0 ? length * SERIAL_BYTES_PER_CHARACTER : 0; }
};

// Why an image or a field placement is refused when the field leaves the image.
inline constexpr char FIELD_PAST_END_MESSAGE[] =
    "Serial number field runs past the end of the image";

// Where `pattern` last occurs in `image`, or -1. (Qt's own lastIndexOf reads before the
// image when the pattern is longer than it.)
qsizetype lastOffsetOf(QByteArrayView image, QByteArrayView pattern);
// The serial-number field after the marker with the highest offset. Throws HException
// "Cannot find serial number" when there is no marker, and refuses a marker with no
// length byte after it or a field that runs past the end of the image.
SerialField locateSerialField(QByteArrayView image);
// Whether the device-descriptor pattern, or the maker name, occurs anywhere.
bool hasDeviceDescriptorPattern(QByteArrayView image);
bool hasMakerName(QByteArrayView image);
// The text in a serial-number field: each UTF-16LE unit as one character. Throws
// HException when the field does not lie inside the image.
QString readSerialField(QByteArrayView image, const SerialField& field);
// The bytes of an image that go to the probe: those from the application zone's start on
// (none for an image that does not reach it).
QByteArrayView applicationZone(QByteArrayView image);
// Whether the field lies wholly inside an image of the given size.
bool fieldFits(const SerialField& field, qsizetype imageSize);

}  // namespace kv2
