#include "Gen3Rig.h"

#include "device/FtdiProtocol.h"
#include "device/UsbIds.h"
#include "emu/EmulatedDevice.h"
#include "emu/FtdiChip.h"
#include "emu/Gen3Loader.h"
#include "emu/Gen3Probe.h"
#include "gen3/KV3FirmwareWidget.h"
#include "gen3/LoaderFrames.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QFile>
#include <QLabel>

#include <gtest/gtest.h>

namespace {

constexpr QLatin1String GEN3_SERIAL("K3000001");
constexpr QLatin1String GEN3_SERIAL_LINE("<b>Serial Number:</b> K3000001");
constexpr QLatin1String GEN3_VERSION_CAPTION("<b>Version: </b>");
constexpr QLatin1String NEW_VERSION_LABEL("<b>Version: </b>2.10 - new");

// The message of a command that fails, after the step's prefix.
struct CommandTexts {
    const char* prefix;
    const char* wrongReply;  // what a reply with its bytes complemented gives
};

CommandTexts textsOf(quint8 tag) {
    switch (tag) {
        case TAG_CONNECT:
            return {"", "connect failed, unexpected tag returned"};
        case TAG_MEMORY_ERASE:
            return {"Erase failed : ", "memory erase failed, unexpected tag returned"};
        case TAG_MEMORY_WRITE:
            return {"Download failed : ", "memory write failed, unexpected tag returned"};
        case TAG_MEMORY_CRC:
            return {"Verify failed : ", "crc check mismatch"};
        case TAG_DISCONNECT:
            return {"", "disconnect failed, unexpected tag returned"};
        case TAG_GET_LOADER_INFO:
            return {"", "get loader info failed, unexpected tag returned"};
        default:
            ADD_FAILURE() << "no install command has tag " << int(tag);
            return {"", ""};
    }
}

// The link's message when the request fails (set-up on opening, purges).
QString controlMessage(const ControlRequest& request) {
    if (request.isClearHalt()) {
        return QStringLiteral("Cannot set reset on pipe");
    }
    if (request.request == ftdi::REQUEST_SET_LATENCY_TIMER) {
        return QStringLiteral("Cannot set latency timer");
    }
    return request.value == ftdi::PURGE_RX ? QStringLiteral("cannot purge RX")
                                           : QStringLiteral("cannot purge TX");
}

bool isCommandFrame(const QByteArray& bytes) {
    const std::optional<CommandFrame> frame = decodeCommandFrame(bytes);
    return frame && frame->magicOk && bytes.size() == commandFrameSize(frame->tag);
}

}  // namespace

Gen3Rig::Gen3Rig() {
    Gen3ImageRecipe recipe;
    recipe.versionMajor = 2;
    recipe.versionMinor = 10;
    recipe.description = QStringLiteral("new");
    recipe.size = IMAGE_SIZE;
    writeGen3Image(files.filePath(QStringLiteral("kv3.bin")), generateGen3Image(recipe));
    createWindow();
    page = window->findChild<KV3FirmwareWidget*>();
    EXPECT_NE(page, nullptr);
}

InstallRig::Probe Gen3Rig::probeWith(const QByteArray& memory) {
    Gen3Loader::Settings settings;
    settings.timing = Gen3Loader::Timing::instant();
    auto firmware = std::make_unique<Gen3Loader>(settings);
    Gen3Loader* model = firmware.get();
    model->loadImage(memory);
    auto function =
        std::make_unique<FaultingFunction>(std::make_unique<FtdiChip>(std::move(firmware)));
    FaultingFunction* faultingFunction = function.get();
    auto device = std::make_shared<EmulatedDevice>(PROBE_VENDOR_ID, PRODUCT_ID_GENERATION3,
                                                   GEN3_SERIAL, std::move(function));
    faultingFunction->attachTo(*device);
    model->setTransportFaults(&device->faults());
    return {device, faultingFunction};
}

InstallRig::Probe Gen3Rig::makeProbe() {
    return probeWith(factoryImage(1, 3, QStringLiteral("factory build")));
}

InstallRig::Probe Gen3Rig::powerCycled() {
    // The loader's memory survives; what it was in the middle of does not.
    return probeWith(loader().memory());
}

Gen3Loader& Gen3Rig::loader() const {
    auto& chip = dynamic_cast<FtdiChip&>(faulting->function());
    return dynamic_cast<Gen3Loader&>(chip.function());
}

QPushButton* Gen3Rig::installButton() const {
    return page->findChild<QPushButton*>(QStringLiteral("installButton"));
}

QString Gen3Rig::installedText() const {
    return page->findChild<QLabel*>(QStringLiteral("installedLabel"))->text();
}

void Gen3Rig::expectShown() {
    EXPECT_EQ(raisedPage(), page);
    EXPECT_EQ(status(), QString(READY));
    EXPECT_EQ(serialLine(), QString(GEN3_SERIAL_LINE));
    EXPECT_TRUE(installedText().startsWith(GEN3_VERSION_CAPTION)) << installedText().toStdString();
}

void Gen3Rig::expectSuccessShown() {
    EXPECT_EQ(statusAtEnd, QStringLiteral("Firmware installed."));
}

void Gen3Rig::expectNewFirmware() {
    poll();
    EXPECT_EQ(installedText(), QString(NEW_VERSION_LABEL));
    EXPECT_EQ(loader().loaderInfo().imageHeader.versionMinor, 10);
}

Outcome Gen3Rig::expected(int index, FrameFault fault) {
    const QList<UsbFrame>& frames = cleanFrames();
    // Once disconnected the image is in: the look at the probe afterwards, on a link of its
    // own (opened with its pipe reset, get loader info), can only fail that look.
    int lookAfter = int(frames.size());
    bool disconnectSent = false;
    for (int i = 0; i < frames.size() && lookAfter == frames.size(); ++i) {
        disconnectSent =
            disconnectSent || (frames[i].isBulkOut() && isCommandFrame(frames[i].bytes) &&
                               quint8(frames[i].bytes[0]) == TAG_DISCONNECT);
        if (disconnectSent && frames[i].isControl() && frames[i].setup.isClearHalt()) {
            lookAfter = i;
        }
    }
    const Outcome outcome = installOutcome(index, fault);
    if (index >= lookAfter && !outcome.installed) {
        return Outcome::failure(
            QStringLiteral("Firmware installed, but the probe could not be read afterwards: ") +
            outcome.message);
    }
    return outcome;
}

Outcome Gen3Rig::installOutcome(int index, FrameFault fault) {
    const QList<UsbFrame>& frames = cleanFrames();
    const UsbFrame& frame = frames.at(index);
    if (frame.isControl()) {
        // Unplugged or stalled, a request fails: the link reports which.
        return Outcome::failure(controlMessage(frame.setup));
    }
    quint8 command = 0;
    bool writeData = false;
    bool replyBegun = false;  // an earlier packet brought the reply's first bytes
    for (int i = 0; i < index; ++i) {
        if (frames[i].isBulkOut()) {
            writeData = !isCommandFrame(frames[i].bytes);
            if (!writeData) {
                command = quint8(frames[i].bytes[0]);
                replyBegun = false;
            }
        } else if (frames[i].isBulkIn() && frames[i].bytes.size() > ftdi::MODEM_STATUS_BYTES) {
            replyBegun = true;
        }
    }
    if (frame.isBulkOut()) {
        writeData = !isCommandFrame(frame.bytes);
        if (!writeData) {
            command = quint8(frame.bytes[0]);
        }
    }
    const CommandTexts texts = textsOf(command);
    const QString prefix = QLatin1String(texts.prefix);
    if (fault != FrameFault::Garbage) {
        // The transfer fails or never completes: the link gives up with -1.
        return Outcome::failure(prefix + (frame.isBulkOut() ? QStringLiteral("write timed out")
                                                            : QStringLiteral("read timed out")));
    }
    if (frame.isBulkIn()) {
        // The modem-status bytes are not looked at; a reply's bytes are, except the loader
        // information after its tag, which is shown as it comes.
        if (frame.bytes.size() <= ftdi::MODEM_STATUS_BYTES ||
            (command == TAG_GET_LOADER_INFO && replyBegun)) {
            return Outcome::success();
        }
        return Outcome::failure(prefix + QLatin1String(texts.wrongReply));
    }
    if (writeData) {
        // The loader programs what it received: the chunk's CRC check finds it.
        return Outcome::failure(QStringLiteral("Verify failed : crc check mismatch"));
    }
    // A frame the loader cannot read is dropped, and never answered.
    return Outcome::failure(prefix + QStringLiteral("read timed out"));
}
