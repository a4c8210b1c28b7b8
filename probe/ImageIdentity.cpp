#include "probe/ImageIdentity.h"

#include "app/HException.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2Variant.h"
#include "gen3/Crc32.h"
#include "gen3/ImageFile.h"

#include <QStringList>

namespace {

std::optional<qsizetype> lastOffsetOf(const QByteArray& bytes, QByteArrayView pattern) {
    const qsizetype at = bytes.lastIndexOf(pattern);
    return at >= 0 ? std::optional<qsizetype>(at) : std::nullopt;
}

void examineGeneration3(ImageIdentity& image) {
    image.generation = 3;
    image.marks.imageMagic = FirmwareImageHeader::OFFSET_MAGIC;
    try {
        checkInstallImage(image.bytes, image.path);
    } catch (const HException& e) {
        image.problem = messageOf(e);
    }
}

void examineGeneration2(ImageIdentity& image) {
    image.generation = 2;
    image.versionRecord = KV2VersionRecord::find(image.bytes);
    image.marks.versionRecord = KV2VersionRecord::offsetIn(image.bytes);
    try {
        image.marks.serialField = kv2::locateSerialField(image.bytes);
        image.serialFieldText = kv2::readSerialField(image.bytes, *image.marks.serialField);
        // The install loads the image exactly so; what it refuses is the problem. A file the
        // bootloader download would refuse for its size is refused as well, before the probe
        // is restarted into its bootloader.
        KV2FirmwareImage loaded;
        loaded.loadBytes(image.bytes, QString());
        loaded.checkFitsApplicationZone();
        image.generation2Image = std::move(loaded);
    } catch (const HException& e) {
        image.problem = messageOf(e);
    }
}

QString missingMarks(const ImageMarks& marks) {
    QStringList missing;
    if (!marks.serialMarker) {
        missing << QStringLiteral("serial-number marker");
    }
    if (!marks.deviceDescriptorPattern) {
        missing << QStringLiteral("device descriptor");
    }
    if (!marks.makerName) {
        missing << QStringLiteral("maker name");
    }
    return missing.join(QStringLiteral(", "));
}

}  // namespace

QString ImageIdentity::versionText() const {
    if (header) {
        return imageVersionText(*header);
    }
    if (versionRecord) {
        return kv2::versionText(versionRecord->versionMajor, versionRecord->versionMinor);
    }
    return QString();
}

ImageIdentity identifyImage(const QString& path) {
    ImageIdentity image;
    image.path = path;
    image.bytes = readInstallImage(path);
    image.crc = computeCrc32(image.bytes.constData(), std::size_t(image.bytes.size()));

    const std::optional<FirmwareImageHeader> header =
        FirmwareImageHeader::validFromBytes(image.bytes);
    ImageMarks& marks = image.marks;
    marks.serialMarker = lastOffsetOf(image.bytes, kv2::bytesOf(kv2::SERIAL_MARKER));
    marks.deviceDescriptorPattern =
        lastOffsetOf(image.bytes, kv2::bytesOf(kv2::DEVICE_DESCRIPTOR_PATTERN));
    marks.makerName = lastOffsetOf(image.bytes, kv2::bytesOf(kv2::MAKER_NAME));

    if (header) {
        image.header = header;
        examineGeneration3(image);
    } else if (marks.serialMarker && marks.deviceDescriptorPattern && marks.makerName) {
        examineGeneration2(image);
    } else {
        image.problem = QStringLiteral(
                            "not a firmware image: no generation-3 header (its first 4 bytes "
                            "are not 0D F0 FE CA) and not all generation-2 marks (missing: %1)")
                            .arg(missingMarks(marks));
    }
    return image;
}
