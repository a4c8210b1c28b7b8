#include "gen3/Gen3Engine.h"

#include "device/Ftd2xxDataLink.h"
#include "gen3/FirmwareImageHeader.h"
#include "gen3/ImageFile.h"
#include "gen3/LoaderCommands.h"
#include "probe/ImageIdentity.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

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

QString hex(quint32 value) {
    return QStringLiteral("0x%1").arg(value, 0, 16);
}

}  // namespace

const Gen3Engine::Step Gen3Engine::ERASE_STEP = {"Erasing memory, do not remove Korvane",
                                                 "Erase failed : ", eraseChunk};
const Gen3Engine::Step Gen3Engine::DOWNLOAD_STEP = {"Downloading firmware, do not remove Korvane",
                                                    "Download failed : ", writeMemory};
const Gen3Engine::Step Gen3Engine::VERIFY_STEP = {"Verifying firmware",
                                                  "Verify failed : ", verifyChunk};

Gen3Engine::Gen3Engine(QObject* parent) : ProbeEngine(parent) {}

bool Gen3Engine::examine(ImageIdentity& image, QString& notMine) {
    const std::optional<FirmwareImageHeader> header =
        FirmwareImageHeader::validFromBytes(image.bytes);
    if (!header) {
        notMine = QStringLiteral("no generation-3 header (its first 4 bytes are not 0D F0 FE CA)");
        return false;
    }
    image.generation = 3;
    image.marks.imageMagic = FirmwareImageHeader::OFFSET_MAGIC;
    image.versionMajor = header->versionMajor;
    image.versionMinor = header->versionMinor;
    image.description = header->descriptionText();
    image.versionText = imageVersionText(*header);
    try {
        checkInstallImage(image.bytes, image.path);
        if (image.size() > largestImage()) {
            throw HException(QStringLiteral("image too large: %1 is %2 bytes, a generation-3 "
                                            "probe holds at most %3")
                                 .arg(image.path)
                                 .arg(image.size())
                                 .arg(largestImage())
                                 .toLocal8Bit()
                                 .toStdString());
        }
    } catch (const HException& e) {
        image.problem = messageOf(e);
    }
    return true;
}

qint64 Gen3Engine::largestImage() {
    return LARGEST_PROBE_IMAGE;
}

bool Gen3Engine::runs(const InstalledFirmware& firmware, const ImageIdentity& image) const {
    return firmware.state == InstalledFirmware::State::Installed &&
           firmware.versionMajor == image.versionMajor &&
           firmware.versionMinor == image.versionMinor;
}

QString Gen3Engine::refusal(const ImageIdentity& image) const {
    return image.problem;
}

QString Gen3Engine::cannotOpen(const QString& path) const {
    return QStringLiteral("cannot open ") + path;
}

InstalledFirmware Gen3Engine::readInstalled(const UsbDeviceInfo& probe) {
    Ftd2xxDataLink link(probe);
    return installedFirmwareOf(getLoaderInfo(link));
}

void Gen3Engine::check(const UsbDeviceInfo&, const ImageIdentity& image) {
    checkInstallImage(image.bytes, image.path);
}

InstallPlan Gen3Engine::plan(const UsbDeviceInfo& probe, const ImageIdentity& image) {
    return plan(probe, image.bytes);
}

InstalledFirmware Gen3Engine::awaitReturn(const UsbDeviceInfo& probe) {
    try {
        return readInstalled(probe);
    } catch (const HException& e) {
        // The image went in and was verified; only the look at it afterwards failed.
        throw HException("Firmware installed, but the probe could not be read afterwards: " +
                         std::string(e.messageText()));
    }
}

InstallPlan Gen3Engine::plan(const UsbDeviceInfo& probe, const QByteArray& image) {
    auto link = std::make_shared<std::unique_ptr<Ftd2xxDataLink>>();
    return sequence(
        [link, probe]() -> HDataLink& {
            if (!*link) {
                *link = std::make_unique<Ftd2xxDataLink>(probe);
            }
            return **link;
        },
        image, [link] { link->reset(); });
}

void Gen3Engine::installImage(HDataLink& link, QByteArrayView image) {
    sequence([&link]() -> HDataLink& { return link; }, image.toByteArray(), [] {}).run();
}

InstallPlan Gen3Engine::sequence(const std::function<HDataLink&()>& link, const QByteArray& image,
                                 const std::function<void()>& done) {
    const auto data = [image] { return reinterpret_cast<const quint8*>(image.constData()); };
    const int size = int(std::min<qsizetype>(image.size(), INT_MAX));
    InstallPlan plan;
    plan.address = IMAGE_BASE_ADDRESS;
    plan.bytes = image.size();
    plan.unit = QStringLiteral("chunk");
    plan.unitSize = TRANSFER_CHUNK;
    const QString range = QStringLiteral("%1 bytes from %2 in %3 chunks of at most %4 bytes")
                              .arg(plan.bytes)
                              .arg(hex(plan.address))
                              .arg(plan.count())
                              .arg(plan.unitSize);
    plan.steps = {
        {QStringLiteral("connect to the loader (retried while it answers busy)"),
         [link, image] {
             // An image that cannot be installed never reaches the link.
             checkInstallImage(image);
             link().setTimeout(INSTALL_TIMEOUT_MS);
             connectLoader(link());
         },
         InstallPhase::Connecting},
        {QStringLiteral("erase %1").arg(range),
         [this, link, size] { eraseImage(link(), IMAGE_BASE_ADDRESS, size); },
         InstallPhase::Erasing, true},
        {QStringLiteral("write %1").arg(range),
         [this, link, size, data] { downloadImage(link(), IMAGE_BASE_ADDRESS, size, data()); },
         InstallPhase::Writing},
        {QStringLiteral("check the CRC of %1").arg(range),
         [this, link, size, data] { verifyImage(link(), IMAGE_BASE_ADDRESS, size, data()); },
         InstallPhase::Verifying},
        {QStringLiteral("disconnect from the loader"),
         [link, done] {
             disconnectLoader(link());
             done();
         },
         InstallPhase::Finishing},
    };
    return plan;
}

void Gen3Engine::eraseImage(HDataLink& link, quint32 address, int size) {
    runStep(ERASE_STEP, link, address, size, nullptr);
}

void Gen3Engine::downloadImage(HDataLink& link, quint32 address, int size, const quint8* data) {
    runStep(DOWNLOAD_STEP, link, address, size, data);
}

void Gen3Engine::verifyImage(HDataLink& link, quint32 address, int size, const quint8* data) {
    runStep(VERIFY_STEP, link, address, size, data);
}

void Gen3Engine::runStep(const Step& step, HDataLink& link, quint32 address, int size,
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
        throw TransferStepFailure(std::string(step.failurePrefix) + e.messageText());
    }
}
