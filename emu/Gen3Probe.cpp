#include "emu/Gen3Probe.h"

#include "device/UsbIds.h"
#include "emu/FtdiChip.h"
#include "gen3/FirmwareImageHeader.h"

#include <QRegularExpression>

namespace {

constexpr int MAX_BUSY_REPLIES = 1000;

// "256K", "1M", "4096" -> bytes; nothing when malformed or outside the loader's range.
std::optional<quint32> parseMemorySize(const QString& text) {
    static const QRegularExpression format(QStringLiteral("^(\\d{1,9})([kKmM]?)$"));
    const QRegularExpressionMatch match = format.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    qint64 size = match.captured(1).toLongLong();
    const QString suffix = match.captured(2).toUpper();
    size *= suffix == u"K" ? 1024 : suffix == u"M" ? 1024 * 1024 : 1;
    if (size < Gen3Loader::MIN_MEMORY_SIZE || size > Gen3Loader::MAX_MEMORY_SIZE) {
        return std::nullopt;
    }
    return quint32(size);
}

std::optional<std::pair<quint16, quint16>> parseVersion(const QString& text) {
    static const QRegularExpression format(QStringLiteral("^(\\d{1,5})\\.(\\d{1,5})$"));
    const QRegularExpressionMatch match = format.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const uint major = match.captured(1).toUInt();
    const uint minor = match.captured(2).toUInt();
    if (major > 0xFFFF || minor > 0xFFFF) {
        return std::nullopt;
    }
    return std::pair<quint16, quint16>(quint16(major), quint16(minor));
}

}  // namespace

QStringList Gen3ProbeOptions::keys() {
    return QStringList{QStringLiteral("version"),   QStringLiteral("desc"),
                       QStringLiteral("installed"), QStringLiteral("busy"),
                       QStringLiteral("memory"),    QStringLiteral("fault")} +
           ReplyTiming::keys();
}

std::optional<Gen3ProbeOptions> Gen3ProbeOptions::fromSpec(const QMap<QString, QString>& options,
                                                           QString& problem) {
    Gen3ProbeOptions result;
    if (options.contains(QStringLiteral("version"))) {
        const auto version = parseVersion(options.value(QStringLiteral("version")));
        if (!version) {
            problem = QStringLiteral("gen3 version is MAJOR.MINOR (numbers up to 65535)");
            return std::nullopt;
        }
        std::tie(result.versionMajor, result.versionMinor) = *version;
    }
    if (options.contains(QStringLiteral("desc"))) {
        result.description = options.value(QStringLiteral("desc"));
    }
    if (options.contains(QStringLiteral("installed"))) {
        const QString value = options.value(QStringLiteral("installed")).toLower();
        if (value != u"yes" && value != u"no") {
            problem = QStringLiteral("gen3 installed is yes or no");
            return std::nullopt;
        }
        result.installed = value == u"yes";
    }
    if (options.contains(QStringLiteral("busy"))) {
        bool ok = false;
        const int busy = options.value(QStringLiteral("busy")).toInt(&ok);
        if (!ok || busy < 0 || busy > MAX_BUSY_REPLIES) {
            problem = QStringLiteral("gen3 busy is a count from 0 to %1").arg(MAX_BUSY_REPLIES);
            return std::nullopt;
        }
        result.loader.busyReplies = busy;
    }
    if (options.contains(QStringLiteral("memory"))) {
        const auto size = parseMemorySize(options.value(QStringLiteral("memory")));
        if (!size) {
            problem = QStringLiteral("gen3 memory is a size from 64 bytes to 256M (suffix K or M)");
            return std::nullopt;
        }
        result.loader.memorySize = *size;
    }
    if (options.contains(QStringLiteral("fault"))) {
        const auto faults = Gen3LoaderFault::parseList(options.value(QStringLiteral("fault")));
        if (!faults) {
            problem = QStringLiteral("gen3 fault \"%1\" not understood")
                          .arg(options.value(QStringLiteral("fault")));
            return std::nullopt;
        }
        result.faults = *faults;
    }
    const QString timingProblem = ReplyTiming::parse(options, result.timing);
    if (!timingProblem.isEmpty()) {
        problem = QStringLiteral("gen3 %1").arg(timingProblem);
        return std::nullopt;
    }
    return result;
}

QByteArray factoryImage(quint16 versionMajor, quint16 versionMinor, const QString& description) {
    QByteArray image(FACTORY_IMAGE_SIZE, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i) {
        image[i] = char(i * 31 + 7);
    }
    FirmwareImageHeader header;
    header.magic = IMAGE_MAGIC;
    header.versionMajor = versionMajor;
    header.versionMinor = versionMinor;
    header.setDescription(description);
    image.replace(0, FirmwareImageHeader::SIZE, header.toBytes());
    return image;
}

std::shared_ptr<EmulatedDevice> createGen3Probe(const QString& serialNumber,
                                                const Gen3ProbeOptions& options) {
    auto loader = std::make_unique<Gen3Loader>(options.loader);
    Gen3Loader* model = loader.get();
    if (options.installed) {
        // Only the header has to fit for the probe to report the image.
        model->loadImage(QByteArrayView(factoryImage(options.versionMajor, options.versionMinor,
                                                     options.description))
                             .first(qMin<qsizetype>(FACTORY_IMAGE_SIZE, model->memorySize())));
    }
    for (const Gen3LoaderFault& fault : options.faults) {
        model->injectFault(fault);
    }
    auto chip = std::make_unique<FtdiChip>(std::move(loader));
    chip->setReplyTiming(options.timing);
    auto device = std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3,
                                                   serialNumber, std::move(chip));
    model->setTransportFaults(&device->faults());
    return device;
}

Gen3Loader* gen3LoaderOf(const EmulatedDevice& device) {
    auto* chip = dynamic_cast<FtdiChip*>(device.function());
    return chip != nullptr ? dynamic_cast<Gen3Loader*>(&chip->function()) : nullptr;
}
