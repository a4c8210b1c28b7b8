#include "tools/gen2/KV2ImageGenerator.h"

#include "app/HException.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KV2VersionRecord.h"

#include <QDir>
#include <QSaveFile>
#include <QStringEncoder>
#include <QtEndian>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// USB device descriptor of the probe's application firmware.
constexpr int DEVICE_DESCRIPTOR_SIZE = 18;
constexpr quint8 DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr quint16 USB_VERSION_BCD = 0x0200;
constexpr int BCD_USB_OFFSET = 2;
constexpr int PRODUCT_ID_OFFSET = 10;
constexpr int BCD_DEVICE_OFFSET = 12;
constexpr int STRING_INDEX_OFFSET = 14;  // manufacturer, product, serial number: 1, 2, 3
constexpr int CONFIGURATION_COUNT_OFFSET = 17;
static_assert(kv2::DEVICE_DESCRIPTOR_PATTERN_OFFSET + int(kv2::DEVICE_DESCRIPTOR_PATTERN.size()) ==
              PRODUCT_ID_OFFSET);

constexpr int STRING_DESCRIPTOR_HEADER = 2;  // length byte and type byte

// A mark and where it goes in the image.
struct Placed {
    const char* name;
    int begin;
    QByteArray bytes;
};

QByteArray deviceDescriptor(const KV2ImageSpec& spec) {
    QByteArray bytes(DEVICE_DESCRIPTOR_SIZE, '\0');
    char* d = bytes.data();
    d[0] = char(DEVICE_DESCRIPTOR_SIZE);
    d[1] = char(DEVICE_DESCRIPTOR_TYPE);
    qToLittleEndian(USB_VERSION_BCD, d + BCD_USB_OFFSET);
    std::copy(kv2::DEVICE_DESCRIPTOR_PATTERN.begin(), kv2::DEVICE_DESCRIPTOR_PATTERN.end(),
              d + kv2::DEVICE_DESCRIPTOR_PATTERN_OFFSET);
    qToLittleEndian(spec.productId, d + PRODUCT_ID_OFFSET);
    const auto bcdDevice = quint16((spec.versionMajor & 0xFF) << 8 | (spec.versionMinor & 0xFF));
    qToLittleEndian(bcdDevice, d + BCD_DEVICE_OFFSET);
    for (int i = 0; i < 3; ++i)
        d[STRING_INDEX_OFFSET + i] = char(i + 1);
    d[CONFIGURATION_COUNT_OFFSET] = 1;
    return bytes;
}

QByteArray stringDescriptor(QByteArrayView utf16le) {
    QByteArray bytes;
    bytes.append(char(STRING_DESCRIPTOR_HEADER + utf16le.size()));
    bytes.append(char(kv2::STRING_DESCRIPTOR_TYPE));
    bytes.append(utf16le);
    return bytes;
}

QByteArray serialBlock(const KV2ImageSpec& spec) {
    const QString text =
        spec.serialText.isEmpty()
            ? QString(spec.serialFieldLength, QChar(KV2ImageSpec::SERIAL_PLACEHOLDER))
            : spec.serialText;
    const QByteArray utf16le = QStringEncoder(QStringEncoder::Utf16LE).encode(text);
    return kv2::bytesOf(kv2::SERIAL_MARKER).toByteArray() + stringDescriptor(utf16le);
}

// Every pattern that something searches an image for.
std::vector<QByteArrayView> searchedPatterns() {
    return {kv2::bytesOf(kv2::SERIAL_MARKER), kv2::bytesOf(kv2::DEVICE_DESCRIPTOR_PATTERN),
            kv2::bytesOf(kv2::MAKER_NAME), kv2::bytesOf(KV2VersionRecord::TAG)};
}

// Deterministic stand-in for code (xorshift32), with every accidental mark broken up.
QByteArray fill(int size, quint32 seed) {
    QByteArray bytes(size, '\0');
    quint32 state = seed ? seed : 1;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = char(state >> 24);
    }
    bool changed = true;
    while (changed) {
        changed = false;
        for (const QByteArrayView pattern : searchedPatterns()) {
            for (qsizetype at = bytes.indexOf(pattern); at >= 0; at = bytes.indexOf(pattern)) {
                bytes[at] = char(bytes[at] ^ 0x5A);
                changed = true;
            }
        }
    }
    return bytes;
}

[[noreturn]] void refuse(const std::string& why) {
    throw HException("Cannot generate image: " + why);
}

void checkPlacement(const KV2ImageSpec& spec, std::vector<Placed> marks) {
    std::ranges::sort(marks, {}, &Placed::begin);
    int end = 0;
    const char* previous = nullptr;
    for (const Placed& mark : marks) {
        const int size = int(mark.bytes.size());
        if (mark.begin < 0 || size > spec.size - mark.begin)
            refuse(std::string(mark.name) + " does not fit an image of " +
                   std::to_string(spec.size) + " bytes");
        if (previous && mark.begin < end)
            refuse(std::string(mark.name) + " overlaps " + previous);
        end = mark.begin + size;
        previous = mark.name;
    }
}

bool present(int offset) {
    return offset != KV2ImageSpec::OMIT;
}

}  // namespace

int KV2ImageSpec::deviceDescriptorPatternOffset() const {
    return present(deviceDescriptorOffset)
               ? deviceDescriptorOffset + kv2::DEVICE_DESCRIPTOR_PATTERN_OFFSET
               : OMIT;
}

int KV2ImageSpec::makerNameOffset() const {
    return present(makerDescriptorOffset) ? makerDescriptorOffset + STRING_DESCRIPTOR_HEADER : OMIT;
}

int KV2ImageSpec::serialFieldOffset() const {
    return present(serialMarkerOffset) ? serialMarkerOffset + kv2::SERIAL_FIELD_OFFSET : OMIT;
}

QByteArray generateKV2Image(const KV2ImageSpec& spec) {
    if (spec.size < 0 || spec.size > KV2ImageSpec::MAX_SIZE)
        refuse("size " + std::to_string(spec.size) + " out of range");
    if (spec.serialFieldLength < 0 ||
        spec.serialFieldLength > KV2ImageSpec::MAX_SERIAL_FIELD_LENGTH)
        refuse("serial field length " + std::to_string(spec.serialFieldLength) +
               " out of range (0 to " + std::to_string(KV2ImageSpec::MAX_SERIAL_FIELD_LENGTH) +
               ")");
    if (!spec.serialText.isEmpty() && spec.serialText.size() != spec.serialFieldLength)
        refuse("serial number \"" + spec.serialText.toStdString() + "\" does not have " +
               std::to_string(spec.serialFieldLength) + " characters");
    if (present(spec.versionRecordOffset) && spec.versionRecordOffset < kv2::MIN_IMAGE_SIZE)
        refuse("the version record must lie at offset " + std::to_string(kv2::MIN_IMAGE_SIZE) +
               " or above, where the head copy leaves it in the programmed zone");

    std::vector<Placed> placed;
    if (present(spec.deviceDescriptorOffset))
        placed.push_back(
            {"device descriptor", spec.deviceDescriptorOffset, deviceDescriptor(spec)});
    if (present(spec.makerDescriptorOffset))
        placed.push_back({"maker name", spec.makerDescriptorOffset,
                          stringDescriptor(kv2::bytesOf(kv2::MAKER_NAME))});
    if (present(spec.versionRecordOffset))
        placed.push_back(
            {"version record", spec.versionRecordOffset,
             KV2VersionRecord{spec.versionMajor, spec.versionMinor, spec.flags}.encode()});
    if (present(spec.serialMarkerOffset))
        placed.push_back({"serial number", spec.serialMarkerOffset, serialBlock(spec)});
    checkPlacement(spec, placed);

    QByteArray image = fill(spec.size, spec.seed);
    for (const Placed& mark : placed)
        std::copy(mark.bytes.begin(), mark.bytes.end(), image.begin() + mark.begin);

    // The marks must be found where they were placed and nowhere else (a mark's bytes
    // next to the fill could in principle form another one).
    const std::vector<std::pair<QByteArrayView, int>> expected{
        {kv2::bytesOf(kv2::SERIAL_MARKER), spec.serialMarkerOffset},
        {kv2::bytesOf(kv2::DEVICE_DESCRIPTOR_PATTERN), spec.deviceDescriptorPatternOffset()},
        {kv2::bytesOf(kv2::MAKER_NAME), spec.makerNameOffset()},
        {kv2::bytesOf(KV2VersionRecord::TAG), spec.versionRecordOffset}};
    for (const auto& [pattern, offset] : expected) {
        if (image.indexOf(pattern) != offset || image.lastIndexOf(pattern) != offset)
            refuse("a mark occurs where it was not placed; choose another seed");
    }
    return image;
}

void writeKV2ImageFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw HException("Cannot write " + path.toLocal8Bit().toStdString() + ": " +
                         file.errorString().toLocal8Bit().toStdString());
}

KV2ImageSpec demoImageSpec(kv2::TargetFamily family, kv2::JtagClocking clocking) {
    KV2ImageSpec spec;
    spec.flags = kv2::flagsOf(family, clocking);
    // A fill of its own per variant, so that the six images differ throughout.
    spec.seed = 0x4B563200u + spec.flags;
    return spec;
}

QStringList writeKV2DemoImages(const QString& directory) {
    if (!QDir().mkpath(directory))
        throw HException("Cannot create directory " + directory.toLocal8Bit().toStdString());
    QStringList paths;
    for (const kv2::TargetFamily family : kv2::TARGET_FAMILIES) {
        for (const kv2::JtagClocking clocking : kv2::JTAG_CLOCKINGS) {
            const QString path = QDir(directory).filePath(kv2::imageFileName(family, clocking));
            writeKV2ImageFile(path, generateKV2Image(demoImageSpec(family, clocking)));
            paths.append(path);
        }
    }
    return paths;
}
