// kvimage-gen3: writes a generation-3 firmware image for tests and the demo.
//   kvimage-gen3 --image-version 2.10 --description "demo build" --size 64K kv3.bin
#include "Gen3ImageGenerator.h"

#include "app/HException.h"
#include "gen3/Crc32.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

int usageError(const QString& message) {
    std::fprintf(stderr, "kvimage-gen3: %s\n", qPrintable(message));
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvimage-gen3"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes a generation-3 Korvane firmware image: a 64-byte header "
                       "(marker, version, description) followed by a patterned payload."));
    parser.addHelpOption();
    const QCommandLineOption versionOption(
        {QStringLiteral("i"), QStringLiteral("image-version")},
        QStringLiteral("Firmware version MAJOR.MINOR (default 1.0)."), QStringLiteral("version"),
        QStringLiteral("1.0"));
    const QCommandLineOption descriptionOption(
        {QStringLiteral("d"), QStringLiteral("description")},
        QStringLiteral("Description text, Latin-1, at most 40 characters kept."),
        QStringLiteral("text"));
    const QCommandLineOption sizeOption(
        {QStringLiteral("s"), QStringLiteral("size")},
        QStringLiteral("Total size in bytes, header included; suffix K or M for KiB or MiB "
                       "(default 64K). Below 64 the header is cut short."),
        QStringLiteral("bytes"), QStringLiteral("64K"));
    const QCommandLineOption patternOption(
        {QStringLiteral("p"), QStringLiteral("pattern")},
        QStringLiteral("Payload: random (seeded), zero or counter (default random)."),
        QStringLiteral("pattern"), QStringLiteral("random"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the random payload (default 1)."),
                                        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption magicOption(
        QStringLiteral("magic"),
        QStringLiteral("Header marker in hexadecimal (default cafef00d; another value "
                       "makes an invalid image)."),
        QStringLiteral("hex"), QStringLiteral("cafef00d"));
    parser.addOptions(
        {versionOption, descriptionOption, sizeOption, patternOption, seedOption, magicOption});
    parser.addPositionalArgument(QStringLiteral("output"), QStringLiteral("Image file to write."));
    parser.process(app);

    if (parser.positionalArguments().size() != 1) {
        return usageError(QStringLiteral("exactly one output file expected (see --help)"));
    }
    Gen3ImageRecipe recipe;
    const auto version = parseImageVersion(parser.value(versionOption));
    if (!version) {
        return usageError(QStringLiteral("invalid version: ") + parser.value(versionOption));
    }
    recipe.versionMajor = version->first;
    recipe.versionMinor = version->second;
    recipe.description = parser.value(descriptionOption);
    const auto size = parseImageSize(parser.value(sizeOption));
    if (!size) {
        return usageError(QStringLiteral("invalid size: ") + parser.value(sizeOption));
    }
    recipe.size = *size;
    const auto pattern = parseImagePattern(parser.value(patternOption));
    if (!pattern) {
        return usageError(QStringLiteral("invalid pattern: ") + parser.value(patternOption));
    }
    recipe.pattern = *pattern;
    bool ok = false;
    recipe.seed = parser.value(seedOption).toUInt(&ok);
    if (!ok) {
        return usageError(QStringLiteral("invalid seed: ") + parser.value(seedOption));
    }
    recipe.magic = parser.value(magicOption).toUInt(&ok, 16);
    if (!ok) {
        return usageError(QStringLiteral("invalid magic: ") + parser.value(magicOption));
    }

    const QString output = parser.positionalArguments().constFirst();
    const QByteArray image = generateGen3Image(recipe);
    try {
        writeGen3Image(output, image);
    } catch (const HException& e) {
        std::fprintf(stderr, "kvimage-gen3: %s\n", e.messageText());
        return 1;
    }
    std::printf("%s: %lld bytes, version %s, CRC-32/BZIP2 0x%08X\n", qPrintable(output),
                static_cast<long long>(image.size()),
                qPrintable(imageVersionText(gen3ImageHeader(recipe))),
                computeCrc32(image.constData(), std::size_t(image.size())));
    return 0;
}
