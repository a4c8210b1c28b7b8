#include "cli/ImageReport.h"

#include "app/HException.h"
#include "app/HPath.h"
#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/JsonOutput.h"
#include "engines/FirmwareLibrary.h"
#include "engines/ProbeEngines.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2Variant.h"
#include "gen3/FirmwareImageHeader.h"
#include "probe/ImageBytes.h"

#include <QFileInfo>

ImageIdentity readImage(const QString& path) {
    try {
        return identifyImage(path);
    } catch (const HException& e) {
        throw CliFailure::fromImage(e);
    }
}

ImageIdentity readImageFor(const QString& path,
                           const std::function<std::optional<int>()>& generation) {
    ImageIdentity image;
    try {
        image = identifyImage(path);
    } catch (const CannotOpenImage& e) {
        if (const std::unique_ptr<ProbeEngine> engine = engineForGeneration(generation())) {
            throw CliFailure(ExitCode::BadImage, engine->cannotOpen(path));
        }
        throw CliFailure::fromImage(e);
    } catch (const HException& e) {
        throw CliFailure::fromImage(e);
    }
    if (!image.generation) {
        if (const std::unique_ptr<ProbeEngine> engine = engineForGeneration(generation())) {
            image.problem = engine->refusal(image);
        }
    }
    return image;
}

QString imagePathOf(const CliOptions& options) {
    if (!options.target || !options.clocking) {
        return options.file;
    }
    const FirmwareLibrary library(FirmwareLibrary::folders(options.firmwareDirectories));
    QString path = library.generation2Image(*options.target, *options.clocking);
    try {
        KV2FirmwareImage image;
        image.load(HPath(path), QString());
    } catch (const HException& e) {
        CliFailure failure = CliFailure::fromImage(e);
        if (!QFileInfo::exists(path)) {
            failure.hint = QStringLiteral("no firmware folder holds %1; they are, in order: %2")
                               .arg(kv2::imageFileName(*options.target, *options.clocking),
                                    library.searched().join(QStringLiteral(", ")));
        }
        throw failure;
    }
    return path;
}

QString variantMismatch(const CliOptions& options, const ImageIdentity& image) {
    if (options.force || !options.target || !options.clocking || !image.variantFlags) {
        return {};
    }
    const quint16 chosen = kv2::flagsOf(*options.target, *options.clocking);
    const quint16 recorded = *image.variantFlags;
    if (kv2::familyOf(recorded) == *options.target &&
        kv2::clockingOf(recorded) == *options.clocking) {
        return {};
    }
    return QStringLiteral(
               "%1: its version record names %2, not %3 as chosen with --target and "
               "--clocking (--force installs it all the same)")
        .arg(image.path, kv2::variantText(recorded), kv2::variantText(chosen));
}

namespace {

QString hex(qint64 value) {
    return QStringLiteral("0x%1").arg(value, 0, 16);
}

QString offsetText(const std::optional<qsizetype>& offset) {
    return offset ? QStringLiteral("at %1").arg(hex(*offset)) : QStringLiteral("missing");
}

// A caption padded so that the values line up.
QString row(const QString& caption, const QString& value) {
    return QString(caption.isEmpty() ? QString() : caption + u':').leftJustified(13) + value;
}

QStringList markLines(const ImageIdentity& image) {
    const ImageMarks& marks = image.marks;
    if (image.generation == 3) {
        return {QStringLiteral("image marker 0x%1 at 0").arg(IMAGE_MAGIC, 8, 16, QLatin1Char('0'))};
    }
    QString serial = QStringLiteral("serial-number marker %1").arg(offsetText(marks.serialMarker));
    if (marks.serialField) {
        serial += QStringLiteral(" (field of %1 characters at %2: \"%3\")")
                      .arg(marks.serialField->length)
                      .arg(hex(marks.serialField->offset), marks.serialField->text);
    }
    QStringList lines{
        serial,
        QStringLiteral("device descriptor %1").arg(offsetText(marks.deviceDescriptorPattern)),
        QStringLiteral("maker name %1").arg(offsetText(marks.makerName))};
    if (image.generation == 2) {
        lines << QStringLiteral("version record %1").arg(offsetText(marks.versionRecord));
    }
    return lines;
}

}  // namespace

QString imageSummary(const ImageIdentity& image) {
    const QString& version = image.versionText;
    QString size = QStringLiteral("%1 bytes").arg(image.size());
    if (!image.generation) {
        return size;
    }
    const QString generation = QStringLiteral("generation %1").arg(*image.generation);
    return version.isEmpty() ? generation + QStringLiteral(", ") + size
                             : QStringLiteral("%1, %2, %3").arg(version, generation, size);
}

QString imageFirmwareText(const ImageIdentity& image) {
    if (image.versionText.isEmpty()) {
        return QStringLiteral("the image");
    }
    return image.variantFlags
               ? image.versionText + QStringLiteral(", ") + kv2::variantText(*image.variantFlags)
               : image.versionText;
}

QStringList imageReportLines(const ImageIdentity& image) {
    QStringList lines{row(QStringLiteral("File"), image.path)};
    lines << row(QStringLiteral("Generation"), image.generation
                                                   ? QString::number(*image.generation)
                                                   : QStringLiteral("none (not a firmware image)"));
    if (image.generation == 3) {
        lines << row(QStringLiteral("Version"), image.versionText);
    } else if (image.generation == 2) {
        lines << row(QStringLiteral("Version"),
                     image.variantFlags ? image.versionText + QStringLiteral(" (version record)")
                                        : QStringLiteral("not stated in the image"));
        if (image.variantFlags) {
            lines << row(QStringLiteral("Variant"), kv2::variantText(*image.variantFlags));
        }
    }
    QString size = QStringLiteral("%1 bytes").arg(image.size());
    if (image.generation == 2) {
        size += QStringLiteral(", %1 of them in the application zone")
                    .arg(image.applicationBytes.value_or(0));
    }
    lines << row(QStringLiteral("Size"), size);
    lines << row(QStringLiteral("CRC-32"), QStringLiteral("0x%1 (CRC-32/BZIP2 of the whole file)")
                                               .arg(image.crc, 8, 16, QLatin1Char('0')));
    lines << row(QStringLiteral("SHA-256"), image.sha256);
    const QStringList marks = markLines(image);
    for (qsizetype i = 0; i < marks.size(); ++i) {
        lines << row(i == 0 ? QStringLiteral("Marks") : QString(), marks[i]);
    }
    if (!image.problem.isEmpty()) {
        lines << row(QStringLiteral("Problem"), image.problem);
    }
    return lines;
}

QJsonObject imageJson(const ImageIdentity& image) {
    const ImageMarks& marks = image.marks;
    QJsonValue serialField(QJsonValue::Null);
    if (marks.serialField) {
        serialField = QJsonObject{{QStringLiteral("offset"), marks.serialField->offset},
                                  {QStringLiteral("length"), marks.serialField->length},
                                  {QStringLiteral("text"), marks.serialField->text}};
    }
    const QJsonObject marksJson{
        {QStringLiteral("imageMagic"), jsonNumber(marks.imageMagic)},
        {QStringLiteral("serialMarker"), jsonNumber(marks.serialMarker)},
        {QStringLiteral("serialField"), serialField},
        {QStringLiteral("deviceDescriptor"), jsonNumber(marks.deviceDescriptorPattern)},
        {QStringLiteral("makerName"), jsonNumber(marks.makerName)},
        {QStringLiteral("versionRecord"), jsonNumber(marks.versionRecord)},
    };

    QJsonValue description(QJsonValue::Null);
    QJsonValue variant(QJsonValue::Null);
    QJsonValue target(QJsonValue::Null);
    QJsonValue clocking(QJsonValue::Null);
    if (image.generation == 3) {
        description = image.description;
    } else if (image.variantFlags) {
        variant = kv2::variantText(*image.variantFlags);
        target = kv2::familyFilePart(kv2::familyOf(*image.variantFlags));
        clocking = kv2::clockingFilePart(kv2::clockingOf(*image.variantFlags));
    }
    return QJsonObject{
        {QStringLiteral("path"), image.path},
        {QStringLiteral("size"), image.size()},
        {QStringLiteral("crc32"), qint64(image.crc)},
        {QStringLiteral("sha256"), image.sha256},
        {QStringLiteral("generation"), jsonNumber(image.generation)},
        {QStringLiteral("installable"), image.installable()},
        {QStringLiteral("problem"),
         image.problem.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(image.problem)},
        {QStringLiteral("versionText"), jsonText(image.versionText)},
        {QStringLiteral("versionMajor"), jsonNumber(image.versionMajor)},
        {QStringLiteral("versionMinor"), jsonNumber(image.versionMinor)},
        {QStringLiteral("description"), description},
        {QStringLiteral("variant"), variant},
        {QStringLiteral("target"), target},
        {QStringLiteral("clocking"), clocking},
        {QStringLiteral("applicationBytes"), jsonNumber(image.applicationBytes)},
        {QStringLiteral("marks"), marksJson},
    };
}

std::shared_ptr<const ImageIdentity> newerImageFor(const InstalledFirmware& firmware) {
    FirmwareLibrary library(FirmwareLibrary::folders());
    const UpdateChoice choice = library.updateFor(firmware);
    return choice.relation == UpdateChoice::Relation::Newer ? choice.image : nullptr;
}
