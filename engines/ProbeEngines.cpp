#include "engines/ProbeEngines.h"

#include "gen2/Gen2Engine.h"
#include "gen3/Crc32.h"
#include "gen3/Gen3Engine.h"
#include "probe/ImageBytes.h"
#include "probe/ProbeKind.h"

#include <QCryptographicHash>

#include <algorithm>

std::unique_ptr<ProbeEngine> engineForGeneration(std::optional<int> generation) {
    if (generation == 2) {
        return std::make_unique<Gen2Engine>();
    }
    if (generation == 3) {
        return std::make_unique<Gen3Engine>();
    }
    return nullptr;
}

std::unique_ptr<ProbeEngine> engineForProbe(const UsbDeviceInfo& probe) {
    return engineForGeneration(ProbeKind::of(probe.productId).generation);
}

qint64 largestProbeImage() {
    return std::max(Gen2Engine::largestImage(), Gen3Engine::largestImage());
}

ImageIdentity identifyImage(const QString& path) {
    const std::shared_ptr<const ImageBytes> read = ImageBytes::read(path, largestProbeImage());
    return identifyImageBytes(path, read->bytes(), read);
}

ImageIdentity identifyImageBytes(const QString& path, const QByteArray& bytes,
                                 std::shared_ptr<const ImageBytes> storage) {
    ImageIdentity image;
    image.path = path;
    image.bytes = bytes;
    image.storage = std::move(storage);
    image.crc = computeCrc32(image.bytes.constData(), std::size_t(image.bytes.size()));
    image.sha256 = QString::fromLatin1(
        QCryptographicHash::hash(image.bytes, QCryptographicHash::Sha256).toHex());

    // The generation-2 marks are looked for in every file (the image report shows them),
    // but a generation-3 header wins: its marker sits at a fixed place, theirs anywhere.
    ImageIdentity asGeneration2 = image;
    QString notGeneration2;
    const bool generation2 = Gen2Engine::examine(asGeneration2, notGeneration2);
    QString notGeneration3;
    if (Gen3Engine::examine(image, notGeneration3)) {
        const ImageMarks& found = asGeneration2.marks;
        image.marks.serialMarker = found.serialMarker;
        image.marks.deviceDescriptorPattern = found.deviceDescriptorPattern;
        image.marks.makerName = found.makerName;
        return image;
    }
    if (generation2) {
        return asGeneration2;
    }
    image.marks = asGeneration2.marks;
    image.problem =
        QStringLiteral("not a firmware image: %1 and %2").arg(notGeneration3, notGeneration2);
    return image;
}

std::optional<QString> variantOf(const ImageIdentity& image) {
    if (image.generation == 3) {
        return QString(QLatin1String(""));
    }
    if (image.generation == 2 && image.variantFlags) {
        return kv2::variantText(*image.variantFlags);
    }
    return std::nullopt;
}

std::optional<QString> variantOf(const InstalledFirmware& firmware) {
    if (firmware.generation == 3) {
        return QString(QLatin1String(""));
    }
    if (firmware.generation == 2 && firmware.state == InstalledFirmware::State::Installed &&
        firmware.flags) {
        return kv2::variantText(*firmware.flags);
    }
    return std::nullopt;
}

QString generation2Variant(kv2::TargetFamily family, kv2::JtagClocking clocking) {
    return kv2::variantText(kv2::flagsOf(family, clocking));
}
