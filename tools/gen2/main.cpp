// kvtool-gen2-image: writes generation-2 firmware images for the demo and the tests.
//
//   kvtool-gen2-image [options] FILE     one image
//   kvtool-gen2-image --demo DIRECTORY   the six demo images kv_{alder,birch,cedar}_{max,var}.bin

#include "app/HException.h"
#include "gen2/KV2Variant.h"
#include "tools/gen2/KV2ImageGenerator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <optional>

namespace {

// Thrown for a malformed option; reported with the usage hint.
struct UsageError {
    QString message;
};

int integerOption(const QCommandLineParser& parser, const QString& name, int minimum, int maximum) {
    bool ok = false;
    const int value = parser.value(name).toInt(&ok, 0);  // decimal, 0x hex or 0 octal
    if (!ok || value < minimum || value > maximum)
        throw UsageError{QStringLiteral("--%1: expected a number from %2 to %3, got \"%4\"")
                             .arg(name)
                             .arg(minimum)
                             .arg(maximum)
                             .arg(parser.value(name))};
    return value;
}

int offsetOption(const QCommandLineParser& parser, const QString& name, int current) {
    if (!parser.isSet(name))
        return current;
    if (parser.value(name) == QLatin1String("none"))
        return KV2ImageSpec::OMIT;
    return integerOption(parser, name, 0, KV2ImageSpec::MAX_SIZE);
}

// The options that place one mark of the image.
struct OffsetOption {
    const char* name;
    const char* mark;  // as the help text names it
    int KV2ImageSpec::*offset;
};
constexpr OffsetOption OFFSET_OPTIONS[] = {
    {"descriptor-at", "the device descriptor", &KV2ImageSpec::deviceDescriptorOffset},
    {"maker-at", "the maker's string descriptor", &KV2ImageSpec::makerDescriptorOffset},
    {"record-at", "the version record", &KV2ImageSpec::versionRecordOffset},
    {"serial-at", "the serial-number marker", &KV2ImageSpec::serialMarkerOffset},
};

template <typename Enum, std::size_t N>
std::optional<Enum> choice(const QString& text, const std::array<Enum, N>& values,
                           QString (*nameOf)(Enum)) {
    for (const Enum value : values) {
        if (nameOf(value) == text)
            return value;
    }
    return std::nullopt;
}

KV2ImageSpec specFrom(const QCommandLineParser& parser) {
    KV2ImageSpec spec;
    if (parser.isSet(QStringLiteral("size")))
        spec.size = integerOption(parser, QStringLiteral("size"), 0, KV2ImageSpec::MAX_SIZE);
    if (parser.isSet(QStringLiteral("serial-length")))
        spec.serialFieldLength = integerOption(parser, QStringLiteral("serial-length"), 0,
                                               KV2ImageSpec::MAX_SERIAL_FIELD_LENGTH);
    spec.serialText = parser.value(QStringLiteral("serial"));
    if (parser.isSet(QStringLiteral("serial")) && !parser.isSet(QStringLiteral("serial-length")))
        spec.serialFieldLength = int(spec.serialText.size());
    if (parser.isSet(QStringLiteral("version"))) {
        const QStringList parts = parser.value(QStringLiteral("version")).split(QLatin1Char('.'));
        bool okMajor = false;
        bool okMinor = false;
        const uint major = parts.size() == 2 ? parts[0].toUShort(&okMajor) : 0;
        const uint minor = parts.size() == 2 ? parts[1].toUShort(&okMinor) : 0;
        if (!okMajor || !okMinor)
            throw UsageError{QStringLiteral("--version: expected MAJOR.MINOR, got \"%1\"")
                                 .arg(parser.value(QStringLiteral("version")))};
        spec.versionMajor = quint16(major);
        spec.versionMinor = quint16(minor);
    }
    const auto family =
        choice(parser.value(QStringLiteral("family")), kv2::TARGET_FAMILIES, kv2::familyFilePart);
    const auto clocking = choice(parser.value(QStringLiteral("clocking")), kv2::JTAG_CLOCKINGS,
                                 kv2::clockingFilePart);
    if (!family)
        throw UsageError{QStringLiteral("--family: expected alder, birch or cedar")};
    if (!clocking)
        throw UsageError{QStringLiteral("--clocking: expected max or var")};
    spec.flags = kv2::flagsOf(*family, *clocking);
    if (parser.isSet(QStringLiteral("flags")))
        spec.flags = quint16(integerOption(parser, QStringLiteral("flags"), 0, 0xFFFF));
    if (parser.isSet(QStringLiteral("product-id")))
        spec.productId = quint16(integerOption(parser, QStringLiteral("product-id"), 0, 0xFFFF));
    for (const OffsetOption& option : OFFSET_OPTIONS)
        spec.*option.offset =
            offsetOption(parser, QString::fromLatin1(option.name), spec.*option.offset);
    if (parser.isSet(QStringLiteral("seed")))
        spec.seed = quint32(integerOption(parser, QStringLiteral("seed"), 0, 0x7FFFFFFF));
    return spec;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvtool-gen2-image"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes a generation-2 firmware image for the kvtool demo and tests, or with --demo "
        "the six demo images kv_{alder,birch,cedar}_{max,var}.bin.\n"
        "Offsets accept decimal or 0x hex; \"none\" leaves that mark out."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The image to write."));
    const auto option = [&parser](const char* name, const QString& description,
                                  const char* valueName, const QString& defaultValue = {}) {
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), description,
                                            QString::fromLatin1(valueName), defaultValue));
    };
    const KV2ImageSpec defaults;
    option("demo", QStringLiteral("Write the six demo images into DIRECTORY."), "directory");
    option("size", QStringLiteral("Image size in bytes (default %1).").arg(defaults.size), "bytes");
    option("serial-length",
           QStringLiteral("Characters in the serial-number field (default %1).")
               .arg(defaults.serialFieldLength),
           "n");
    option("serial",
           QStringLiteral("Text of the serial-number field (default: %1 repeated).")
               .arg(QChar(KV2ImageSpec::SERIAL_PLACEHOLDER)),
           "text");
    option("version",
           QStringLiteral("Firmware version (default %1).")
               .arg(kv2::versionText(defaults.versionMajor, defaults.versionMinor)),
           "major.minor");
    const QString family = kv2::familyFilePart(kv2::familyOf(defaults.flags));
    const QString clocking = kv2::clockingFilePart(kv2::clockingOf(defaults.flags));
    option("family",
           QStringLiteral("Target family: alder, birch or cedar (default %1).").arg(family),
           "family", family);
    option("clocking", QStringLiteral("JTAG clocking: max or var (default %1).").arg(clocking),
           "clocking", clocking);
    option("flags", QStringLiteral("Raw variant flags, instead of --family and --clocking."),
           "flags");
    option(
        "product-id",
        QStringLiteral("Product id in the device descriptor (default %1).").arg(defaults.productId),
        "id");
    for (const OffsetOption& offset : OFFSET_OPTIONS)
        option(offset.name,
               QStringLiteral("Offset of %1 (default 0x%2).")
                   .arg(QLatin1String(offset.mark), QString::number(defaults.*offset.offset, 16)),
               "offset");
    option("seed", QStringLiteral("Seed of the fill bytes (default %1).").arg(defaults.seed), "n");
    parser.process(app);

    try {
        if (parser.isSet(QStringLiteral("demo"))) {
            for (const QString& path : writeKV2DemoImages(parser.value(QStringLiteral("demo"))))
                out << path << '\n';
            return 0;
        }
        if (parser.positionalArguments().size() != 1)
            throw UsageError{QStringLiteral("expected one output file (or --demo DIRECTORY)")};
        const QString path = parser.positionalArguments().constFirst();
        const KV2ImageSpec spec = specFrom(parser);
        writeKV2ImageFile(path, generateKV2Image(spec));
        out << path << ": " << spec.size << " bytes, version "
            << kv2::versionText(spec.versionMajor, spec.versionMinor) << ", "
            << kv2::variantText(spec.flags);
        if (spec.serialFieldOffset() == KV2ImageSpec::OMIT)
            out << ", no serial-number marker";
        else
            out << ", serial field of " << spec.serialFieldLength << " characters at "
                << spec.serialFieldOffset();
        out << '\n';
        return 0;
    } catch (const UsageError& e) {
        err << "kvtool-gen2-image: " << e.message << '\n' << "Try 'kvtool-gen2-image --help'.\n";
        return 2;
    } catch (const HException& e) {
        err << "kvtool-gen2-image: " << messageOf(e) << '\n';
        return 1;
    }
}
