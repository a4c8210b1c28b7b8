#pragma once

#include "device/UsbIds.h"
#include "gen2/KV2Variant.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Makes generation-2 firmware images for the demo and the tests: an image of the given
// size filled with deterministic pseudo-random bytes (standing in for code), carrying at
// the given offsets
//
//   - the probe's USB device descriptor (18 bytes), whose bytes 4 to 9 are the
//     device-descriptor pattern, followed by the product id;
//   - a USB string descriptor with the maker's name (2 header bytes, then the name);
//   - the version record (KV2VersionRecord) with the firmware's version and variant;
//   - the serial-number marker, directly followed by a string descriptor whose field
//     holds the given number of UTF-16LE characters.
//
// Any mark can be left out (offset OMIT), so that tests get images lacking it. The fill
// never contains a mark by accident: each mark occurs exactly where it was placed. The
// version record must lie in the application zone beyond the bytes the head copy
// overwrites, where the emulated firmware finds it once programmed.
struct KV2ImageSpec {
    static constexpr int OMIT = -1;
    static constexpr int DEFAULT_SIZE = 8192;
    static constexpr int DEFAULT_SERIAL_FIELD_LENGTH = 8;  // as in "K2000001"
    static constexpr int MAX_SERIAL_FIELD_LENGTH = 126;    // the descriptor's length byte
    static constexpr int MAX_SIZE = 16 * 1024 * 1024;
    static constexpr quint16 DEFAULT_VERSION_MAJOR = 2;
    static constexpr quint16 DEFAULT_VERSION_MINOR = 12;
    // The field's content unless serialText says otherwise: this character repeated.
    static constexpr char16_t SERIAL_PLACEHOLDER = u'0';

    int size = DEFAULT_SIZE;
    int serialFieldLength = DEFAULT_SERIAL_FIELD_LENGTH;
    QString serialText;  // exactly serialFieldLength characters, or empty for placeholders
    quint16 versionMajor = DEFAULT_VERSION_MAJOR;
    quint16 versionMinor = DEFAULT_VERSION_MINOR;
    quint16 flags = 0;  // variant flags, see kv2::flagsOf
    quint16 productId = PRODUCT_ID_GENERATION2;

    // Where each item begins in the image; OMIT leaves it out.
    int deviceDescriptorOffset = 0x280;
    int makerDescriptorOffset = 0x2A0;
    int versionRecordOffset = 0x2C0;
    int serialMarkerOffset = 0x2E0;

    quint32 seed = 1;  // of the fill

    // Offsets of what the loader searches for, given the items' offsets above (OMIT for a
    // left-out item).
    int deviceDescriptorPatternOffset() const;
    int makerNameOffset() const;
    int serialFieldOffset() const;
};

// The image, or HException when the items do not fit the size, overlap, or the version
// record lies where it would never be programmed.
QByteArray generateKV2Image(const KV2ImageSpec& spec);
// Writes bytes to a file (replacing it); HException on failure.
void writeKV2ImageFile(const QString& path, const QByteArray& bytes);

// The demo firmware: one image per variant, named as the generation-2 page expects
// (kv_alder_max.bin ... kv_cedar_var.bin), each with that variant's flags and the default
// version, and a fill of its own.
KV2ImageSpec demoImageSpec(kv2::TargetFamily family, kv2::JtagClocking clocking);
// Writes the six demo images into directory (created when missing); returns their paths.
QStringList writeKV2DemoImages(const QString& directory);
