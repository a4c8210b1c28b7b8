// The loader-info reply, as the page asks for it when a generation-3 probe is shown: the
// link opens, sends the get-loader-info frame and reads the 77-byte reply from packets of
// any size. Whatever the probe answers, the query either fails with a link or protocol
// message or decodes a record that encodes back to the bytes received, and the text for
// the page is the escaped version text of an installed image or "Not Installed".
#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "FuzzMessages.h"
#include "PipeScript.h"

#include "app/HException.h"
#include "device/Ftd2xxDataLink.h"
#include "gen3/FirmwareVersionText.h"
#include "gen3/LoaderCommands.h"
#include "gen3/LoaderFrames.h"
#include "probe/InstalledFirmware.h"

#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput script(data, size);
    VirtualClock clock;
    const ScopedClock scopedClock(clock);
    PipeLog log;
    const ScopedUsbBackend backend(std::make_unique<ScriptedBackend>(script, clock, log));
    const UsbDeviceInfo probe = scriptedGeneration3Probe();

    try {
        Ftd2xxDataLink link(probe);
        const LoaderInfo info = getLoaderInfo(link);
        const QString text = installedFirmwareText(installedFirmwareOf(info));

        const QByteArray reply = log.readData().left(LOADER_INFO_REPLY_SIZE);
        FUZZ_CHECK(reply.size() == LOADER_INFO_REPLY_SIZE);
        FUZZ_CHECK(quint8(reply[REPLY_OFFSET_TAG]) == replyTag(TAG_GET_LOADER_INFO));
        QByteArray encoded(LoaderInfo::SIZE, '\0');
        info.encode(std::span<quint8, LoaderInfo::SIZE>(reinterpret_cast<quint8*>(encoded.data()),
                                                        LoaderInfo::SIZE));
        FUZZ_CHECK(encoded == reply.mid(LOADER_INFO_REPLY_OFFSET_RECORD));
        if (info.imageState == IMAGE_STATE_INSTALLED && info.imageHeader.hasImageMagic()) {
            FUZZ_CHECK(text == imageVersionText(info.imageHeader).toHtmlEscaped());
            FUZZ_CHECK(!text.contains(u'<') && !text.contains(u'>'));
        } else {
            FUZZ_CHECK(text == QLatin1String(NOT_INSTALLED_TEXT));
        }
    } catch (const HException& e) {
        FUZZ_CHECK(knownMessage(
            e.messageText(),
            {"read timed out", "write timed out", "get loader info failed, unexpected tag returned",
             "Cannot set reset on pipe", "Cannot set latency timer", "cannot purge RX",
             "cannot purge TX", "device already in use", "cannot open device driver"}));
    }
    // The host sent the one short frame (or what of it the probe took), and the link is
    // closed on every way out.
    const ShortFrame frame = shortFrame(TAG_GET_LOADER_INFO);
    FUZZ_CHECK(QByteArray(reinterpret_cast<const char*>(frame.data()), qsizetype(frame.size()))
                   .startsWith(log.written()));
    FUZZ_CHECK(log.pipesOpen == 0);
    return 0;
}
