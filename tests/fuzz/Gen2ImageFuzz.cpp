// The generation-2 image file: whatever a file holds, loading it either fails with one of
// the loader's messages and leaves the image as it was, or gives an image that is the file
// with the head copy applied and a serial-number field inside it; writing a serial number
// changes exactly that field.
#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "FuzzMessages.h"
#include "MemoryFile.h"

#include "app/HException.h"
#include "gen2/KV2FirmwareImage.h"
#include "gen2/KV2ImageLayout.h"

namespace {

constexpr int MAX_SERIAL = 48;

bool loads(KV2FirmwareImage& image, const QString& path, const QString& serial) {
    try {
        image.load(HPath(path), serial);
        return true;
    } catch (const HException& e) {
        FUZZ_CHECK(knownMessage(
            e.messageText(),
            {"Cannot find serial number", "Cannot find PID", "Bad firmware file",
             "Serial number marker at the end of the image has no length byte",
             kv2::FIELD_PAST_END_MESSAGE},
            {"Cannot set serial number, incorrect size (", "Firmware image is too small ("}));
        return false;
    }
}

bool patches(KV2FirmwareImage& image, const QString& serial) {
    try {
        image.patchSerialNumber(serial);
        return true;
    } catch (const HException& e) {
        FUZZ_CHECK(
            knownMessage(e.messageText(), {}, {"Cannot set serial number, incorrect size ("}));
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    FuzzInput input(data, size);
    const QString serial = QString::fromLatin1(input.bytes(input.byte() % MAX_SERIAL));
    const QByteArray bytes = input.rest();
    file.set(bytes);

    // A failed load leaves the image as it was.
    KV2FirmwareImage image;
    image.data = "before";
    image.serialOffset = 7;
    image.serialLength = 3;
    if (!loads(image, file.path(), QString())) {
        FUZZ_CHECK(image.data == "before" && image.serialOffset == 7 && image.serialLength == 3);
        return 0;
    }

    // The file, with bytes 512 to 639 replaced by bytes 0 to 127.
    const qsizetype headEnd = kv2::APPLICATION_ZONE_START + kv2::HEAD_COPY_LENGTH;
    FUZZ_CHECK(image.data.size() == bytes.size());
    FUZZ_CHECK(image.data.left(kv2::APPLICATION_ZONE_START) ==
               bytes.left(kv2::APPLICATION_ZONE_START));
    FUZZ_CHECK(image.data.mid(kv2::APPLICATION_ZONE_START, kv2::HEAD_COPY_LENGTH) ==
               bytes.left(kv2::HEAD_COPY_LENGTH));
    FUZZ_CHECK(image.data.mid(headEnd) == bytes.mid(headEnd));
    // The field lies inside the image, behind the last marker of the file (the head copy
    // may overwrite both afterwards).
    const kv2::SerialField field{image.serialOffset, image.serialLength};
    FUZZ_CHECK(kv2::fieldFits(field, image.data.size()));
    FUZZ_CHECK(image.serialOffset - kv2::SERIAL_FIELD_OFFSET == bytes.lastIndexOf("(@)#"));

    // Patching changes the field and nothing else, and only when the length fits.
    KV2FirmwareImage patched = image;
    const bool fits = patches(patched, serial);
    FUZZ_CHECK(fits == (serial.size() == image.serialLength));
    if (fits) {
        FUZZ_CHECK(patched.serialNumber() == serial);
        const qsizetype end = image.serialOffset + field.byteCount();
        FUZZ_CHECK(patched.data.left(image.serialOffset) == image.data.left(image.serialOffset));
        FUZZ_CHECK(patched.data.mid(end) == image.data.mid(end));
    } else {
        FUZZ_CHECK(patched.data == image.data);
    }

    // Loading with the serial number does the same in one step.
    if (!serial.isEmpty()) {
        KV2FirmwareImage direct;
        FUZZ_CHECK(loads(direct, file.path(), serial) == fits);
        if (fits) {
            FUZZ_CHECK(direct.data == patched.data);
        }
    }
    return 0;
}
