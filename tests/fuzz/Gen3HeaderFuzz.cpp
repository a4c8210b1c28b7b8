// The generation-3 image header and its version text, from a file: whatever the file
// holds, the header decodes to the same 64 bytes it came from, the version text reads
// "major.minor - description" with the description cut at its NUL (at most 40 characters),
// the page's texts carry no markup from the file, and the image readers agree with the
// header on what is a valid image.
#include "FuzzCheck.h"
#include "FuzzMessages.h"
#include "MemoryFile.h"

#include "app/HException.h"
#include "gen3/FirmwareImageHeader.h"
#include "gen3/FirmwareVersionText.h"
#include "gen3/ImageFile.h"

#include <QByteArrayView>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    const QByteArrayView bytes(data, qsizetype(size));
    file.set(bytes);

    const std::optional<FirmwareImageHeader> header = FirmwareImageHeader::fromBytes(bytes);
    FUZZ_CHECK(header.has_value() == (bytes.size() >= FirmwareImageHeader::SIZE));
    const bool valid = header && header->hasImageMagic();

    if (header) {
        FUZZ_CHECK(header->toBytes() == bytes.first(FirmwareImageHeader::SIZE));
        const QString description = header->descriptionText();
        FUZZ_CHECK(description.size() <= FirmwareImageHeader::DESCRIPTION_SIZE);
        const QByteArrayView field =
            bytes.sliced(FirmwareImageHeader::OFFSET_DESCRIPTION, description.size());
        FUZZ_CHECK(description.toLatin1() == field);
        FUZZ_CHECK(!description.contains(QChar(0)));
        FUZZ_CHECK(imageVersionText(*header) == QString::number(header->versionMajor) + u'.' +
                                                    QString::number(header->versionMinor) + u" - " +
                                                    description);
    }

    // The page's label: the version text escaped, or the invalid-file marker.
    const std::optional<FirmwareImageHeader> shown = readValidImageHeader(file.path());
    FUZZ_CHECK(shown.has_value() == valid);
    const QString label = imageFileText(shown);
    if (valid) {
        FUZZ_CHECK(*shown == *header);
        FUZZ_CHECK(!label.contains(u'<') && !label.contains(u'>'));
    } else {
        FUZZ_CHECK(label == QLatin1String(INVALID_FILE_TEXT));
    }

    // An install reads the whole file and refuses what is no valid image.
    FUZZ_CHECK(readInstallImage(file.path()) == bytes);
    try {
        checkInstallImage(bytes, file.path());
        FUZZ_CHECK(valid);
    } catch (const HException& e) {
        FUZZ_CHECK(!valid);
        FUZZ_CHECK(knownMessage(e.messageText(), {}, {"not a valid firmware image: "}));
    }
    return 0;
}
