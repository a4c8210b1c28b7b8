#include "gen3/Gen3Installer.h"

#include "app/HException.h"
#include "device/HDataLink.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderCommands.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

namespace {

const char* const PROGRESS_UNITS = "bytes";

void eraseChunk(HDataLink& link, quint32 address, quint32 count, const quint8*) {
    eraseMemory(link, address, count);
}

void verifyChunk(HDataLink& link, quint32 address, quint32 count, const quint8* data) {
    if (!checkMemoryCrc(link, address, count, data)) {
        throw HException("crc check mismatch");
    }
}

}  // namespace

const Gen3Installer::Step Gen3Installer::ERASE_STEP = {"Erasing memory, do not remove Korvane",
                                                       "Erase failed : ", eraseChunk};
const Gen3Installer::Step Gen3Installer::DOWNLOAD_STEP = {
    "Downloading firmware, do not remove Korvane", "Download failed : ", writeMemory};
const Gen3Installer::Step Gen3Installer::VERIFY_STEP = {"Verifying firmware",
                                                        "Verify failed : ", verifyChunk};

Gen3Installer::Gen3Installer(QObject* parent) : QObject(parent) {}

bool Gen3Installer::isStepFailure(const char* message) {
    const std::string_view text(message);
    return std::ranges::any_of(
        std::array{&ERASE_STEP, &DOWNLOAD_STEP, &VERIFY_STEP},
        [&](const Step* step) { return text.starts_with(step->failurePrefix); });
}

void Gen3Installer::eraseImage(HDataLink& link, quint32 address, int size) {
    runStep(ERASE_STEP, link, address, size, nullptr);
}

void Gen3Installer::downloadImage(HDataLink& link, quint32 address, int size, const quint8* data) {
    runStep(DOWNLOAD_STEP, link, address, size, data);
}

void Gen3Installer::verifyImage(HDataLink& link, quint32 address, int size, const quint8* data) {
    runStep(VERIFY_STEP, link, address, size, data);
}

void Gen3Installer::runStep(const Step& step, HDataLink& link, quint32 address, int size,
                            const quint8* data) {
    checkImageRange(address, size);
    Q_EMIT progress(0, size, step.statusText, PROGRESS_UNITS);
    try {
        // Chunks of TRANSFER_CHUNK bytes, the last one shorter; progress after each.
        for (int done = 0; done < size;) {
            const int count = std::min(TRANSFER_CHUNK, size - done);
            step.command(link, address + quint32(done), quint32(count),
                         data != nullptr ? data + done : nullptr);
            done += count;
            Q_EMIT progress(done, -1, nullptr, nullptr);
        }
    } catch (const HException& e) {
        // Resets the receiver's progress display before the failure is reported.
        Q_EMIT progress(size, -1, nullptr, nullptr);
        throw HException(std::string(step.failurePrefix) + e.messageText());
    }
}

void Gen3Installer::installImage(HDataLink& link, QByteArrayView image) {
    checkInstallImage(image);
    const auto* data = reinterpret_cast<const quint8*>(image.data());
    const int size = int(image.size());
    link.setTimeout(INSTALL_TIMEOUT_MS);
    connectLoader(link);
    eraseImage(link, IMAGE_BASE_ADDRESS, size);
    downloadImage(link, IMAGE_BASE_ADDRESS, size, data);
    verifyImage(link, IMAGE_BASE_ADDRESS, size, data);
    disconnectLoader(link);
}
