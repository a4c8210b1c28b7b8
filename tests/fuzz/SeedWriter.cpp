// Writes the seed corpus of every fuzz target into <directory>/<target>/: images made by
// the generators of tools/, frames made by the encoders, and, for the targets that talk to
// a probe, the session that the emulated probe holds with the host during a clean query,
// install or download, recorded in the targets' script grammar (PipeScript.h).
#include "FuzzImages.h"
#include "PipeScript.h"

#include "app/HException.h"
#include "app/InstanceMessage.h"
#include "device/Ftd2xxDataLink.h"
#include "emu/EmulatedUsbBus.h"
#include "emu/Gen2Probe.h"
#include "emu/Gen3Probe.h"
#include "emu/RawPacketPipe.h"
#include "gen2/KV2ImageLayout.h"
#include "gen2/KorvaneBootloader.h"
#include "gen2/ReplyPairing.h"
#include "gen3/Gen3Engine.h"
#include "gen3/LoaderCommands.h"
#include "tools/gen2/KV2ImageGenerator.h"
#include "tools/gen3/Gen3ImageGenerator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <functional>

namespace {

QString outputDirectory;

void writeSeed(const char* target, const QString& name, const QByteArray& bytes) {
    const QString directory = outputDirectory + u'/' + QLatin1String(target);
    QDir().mkpath(directory);
    QFile file(directory + u'/' + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        throw HException("cannot write " + file.fileName().toStdString());
    }
}

// Runs `session` with the host's USB seam recorded: what the emulated bus and its probes
// answered, in the targets' grammar.
QByteArray recordSession(EmulatedUsbBus& bus, const std::function<void()>& session) {
    QByteArray script;
    VirtualClock clock(1000);
    const ScopedClock scopedClock(clock);
    const ScopedUsbBackend backend(std::make_unique<TranscriptBackend>(bus, script));
    try {
        session();
    } catch (const HException&) {
        // A session that ends in a failure is a seed as good as any.
    }
    return script;
}

// Attaches a generation-3 probe whose loader answers at once; returns its record.
UsbDeviceInfo attachGen3Probe(EmulatedUsbBus& bus, bool installed, int busyReplies = 0) {
    Gen3ProbeOptions options;
    options.loader.timing = Gen3Loader::Timing::instant();
    options.loader.busyReplies = busyReplies;
    options.installed = installed;
    bus.attach(createGen3Probe(QStringLiteral("K3000001"), options));
    return bus.enumerate().value(0);
}

void gen2ImageSeeds() {
    const QByteArray serial = pipescript::PROBE_SERIAL.toLatin1();
    const QByteArray prefix = char(serial.size()) + serial;
    const QStringList demo = writeKV2DemoImages(outputDirectory + QStringLiteral("/.gen2-demo"));
    for (const QString& path : demo.mid(0, 2)) {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        writeSeed("gen2_image", QFileInfo(path).fileName(), prefix + file.readAll());
    }
    QDir(outputDirectory + QStringLiteral("/.gen2-demo")).removeRecursively();
    KV2ImageSpec small;
    small.size = kv2::MIN_IMAGE_SIZE + 160;
    writeSeed("gen2_image", QStringLiteral("small.bin"), prefix + generateKV2Image(small));
    writeSeed("gen2_image", QStringLiteral("no-serial.bin"),
              QByteArray(1, '\0') + generateKV2Image(small));
}

void gen3HeaderSeeds() {
    Gen3ImageRecipe recipe;
    recipe.versionMajor = 1;
    recipe.versionMinor = 4;
    recipe.description = QStringLiteral("release");
    recipe.size = FirmwareImageHeader::SIZE;
    writeSeed("gen3_header", QStringLiteral("header-only.bin"), generateGen3Image(recipe));
    recipe.size = 200;
    recipe.description = QString(FirmwareImageHeader::DESCRIPTION_SIZE, u'd');
    writeSeed("gen3_header", QStringLiteral("full-description.bin"), generateGen3Image(recipe));
    recipe.description = QStringLiteral("<b>markup</b> & more");
    writeSeed("gen3_header", QStringLiteral("markup.bin"), generateGen3Image(recipe));
    recipe.magic = 0x12345678;
    writeSeed("gen3_header", QStringLiteral("wrong-magic.bin"), generateGen3Image(recipe));
}

void loaderInfoSeeds() {
    for (const bool installed : {true, false}) {
        EmulatedUsbBus bus;
        const UsbDeviceInfo probe = attachGen3Probe(bus, installed);
        const QByteArray script = recordSession(bus, [&] {
            Ftd2xxDataLink link(probe);
            getLoaderInfo(link);
        });
        writeSeed("loader_info", installed ? QStringLiteral("installed") : QStringLiteral("empty"),
                  script);
    }
}

void ftd2xxReadSeeds() {
    // Operations as Ftd2xxReadFuzz reads them, each followed by what the probe answers.
    const QByteArray opened(5, '\0');  // opening accepted; reset, latency and purges too
    const auto packet = [](const QByteArray& data, int ms) -> QByteArray {
        return char(ms * pipescript::READ_OUTCOMES) + QByteArray(1, char(2 + data.size())) +
               QByteArray("\x31\x60", 2) + data;
    };
    const auto read = [](int length) -> QByteArray { return QByteArray(1, '\0') + char(length); };
    const auto setTimeout = [](int ms) -> QByteArray {
        return QByteArray(1, '\5') + char(ms >> 8) + char(ms);
    };
    // Read 2 bytes: a status-only packet, then the reply.
    writeSeed("ftd2xx_read", QStringLiteral("reply"),
              opened + read(2) + packet(QByteArray(), 1) + packet(QByteArray::fromHex("fe01"), 0));
    // Read 3 of a 10-byte packet, 7 from what was kept, then time out on empty packets.
    QByteArray pieces =
        opened + setTimeout(50) + read(3) + packet("0123456789", 0) + read(7) + read(5);
    for (int i = 0; i < 2; ++i) {
        pieces += packet(QByteArray(), 31);
    }
    writeSeed("ftd2xx_read", QStringLiteral("pieces"), pieces);
    // A purge, a write of 8 bytes, then a read whose transfer fails.
    writeSeed("ftd2xx_read", QStringLiteral("mixed"),
              opened + setTimeout(100) + QByteArray("\6\0\0", 3) + QByteArray("\7\x08\0", 3) +
                  read(4) + char(pipescript::READ_FAILED));
}

void gen3InstallSeeds() {
    for (int choice = 0; choice < GEN3_IMAGE_CHOICES; ++choice) {
        for (const int busy : {0, 2}) {
            if (busy != 0 && choice != 0) {
                continue;
            }
            EmulatedUsbBus bus;
            const UsbDeviceInfo probe = attachGen3Probe(bus, true, busy);
            const QByteArray script = recordSession(bus, [&] {
                Ftd2xxDataLink link(probe);
                Gen3Engine().installImage(link, gen3FuzzImage(choice));
            });
            writeSeed("gen3_install", QStringLiteral("install-%1-busy%2").arg(choice).arg(busy),
                      char(choice) + script);
        }
    }
}

void gen2DownloadSeeds() {
    // The seed of each session's pattern, as the target reads it after the image's choice.
    constexpr quint32 PATTERN_SEED = 20261208;
    const auto record = [&](int choice, const QString& name,
                            const std::function<void(Gen2Probe&, RawPacketPipe&)>& arm) {
        EmulatedUsbBus bus;
        auto device = bus.attach(makeGen2Device(
            std::make_unique<Gen2Probe>(KV2VersionRecord{1, 5, 0x0A}, pipescript::PROBE_SERIAL),
            pipescript::PROBE_SERIAL));
        arm(*gen2ProbeOf(*device), dynamic_cast<RawPacketPipe&>(*device->function()));
        const ReplyPairing::ScopedSeeds seeds([] { return quint64(PATTERN_SEED); });
        const QByteArray script = recordSession(bus, [&] {
            KV2FirmwareImage image = gen2FuzzImage(choice);
            KorvaneBootloader().downloadApplication(image, true);
        });
        QByteArray seedBytes;
        for (int shift = 0; shift < 32; shift += 8)
            seedBytes += char(quint8(PATTERN_SEED >> shift));
        writeSeed("gen2_download", name, char(choice) + seedBytes + script);
    };
    const auto clean = [](Gen2Probe&, RawPacketPipe&) {};
    for (int choice = 0; choice < GEN2_IMAGE_CHOICES; ++choice)
        record(choice, QStringLiteral("download-%1").arg(choice), clean);
    // A slow bootloader: its first answer comes after two attempts gave up on it, and the
    // resync sets aside the two answers behind it. Then a wrong block, an answer sent twice.
    record(0, QStringLiteral("slow-bootloader"), [](Gen2Probe& probe, RawPacketPipe& pipe) {
        ReplyTiming timing;
        timing.lateMs = 22000;
        pipe.setReplyTiming(timing);
        probe.setReusesReplyBuffer(true);
    });
    record(0, QStringLiteral("wrong-block"),
           [](Gen2Probe& probe, RawPacketPipe&) { probe.corruptBlock(9); });
    record(0, QStringLiteral("answered-twice"),
           [](Gen2Probe& probe, RawPacketPipe&) { probe.answerTwice(30); });
}

void sysfsSeeds() {
    // Entries as SysfsDiscoveryFuzz reads them: a name (length and alphabet indices), then
    // the uevent and the serial attribute (kind, length, bytes).
    const auto name = [](const char* text) -> QByteArray {
        const QByteArray alphabet("0123456789-.:ab");
        QByteArray encoded(1, char(qstrlen(text) - 1));
        for (const char* c = text; *c != '\0'; ++c) {
            encoded += char(alphabet.indexOf(*c));
        }
        return encoded;
    };
    const auto file = [](const QByteArray& content) -> QByteArray {
        return QByteArray(1, '\0') + char(content.size() >> 8) + char(content.size()) + content;
    };
    const QByteArray probe = name("1-1") +
                             file(
                                 "MAJOR=189\nDEVTYPE=usb_device\nPRODUCT=131b/3/100\n"
                                 "BUSNUM=1\nDEVNUM=7\n") +
                             file("K3000001\n");
    const QByteArray interface =
        name("1-1:1.0") + file("DEVTYPE=usb_interface\n") + QByteArray(1, char(1));
    const QByteArray hub =
        name("b1") + file("PRODUCT=1d6b/2/606\nBUSNUM=1\nDEVNUM=1\n") + file("0000:00:14.0\n");
    writeSeed("sysfs_discovery", QStringLiteral("probe-and-hub"),
              char(3) + probe + interface + hub);
}

void instanceMessageSeeds() {
    const auto frame = [](const QString& text) -> QByteArray {
        return *InstanceMessage::encode(text);
    };
    writeSeed("instance_message", QStringLiteral("path"),
              QByteArray("\1\0", 2) + frame(QStringLiteral("/home/user/firmware")));
    writeSeed("instance_message", QStringLiteral("empty"),
              QByteArray("\1\0", 2) + frame(QString()));
    writeSeed("instance_message", QStringLiteral("pieces"),
              QByteArray("\0\7", 2) + frame(QStringLiteral("kv\u00e9\u4e2d")));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    outputDirectory = QString::fromLocal8Bit(argv[1]);
    try {
        gen2ImageSeeds();
        gen3HeaderSeeds();
        loaderInfoSeeds();
        ftd2xxReadSeeds();
        gen3InstallSeeds();
        gen2DownloadSeeds();
        sysfsSeeds();
        instanceMessageSeeds();
    } catch (const HException& e) {
        std::fprintf(stderr, "%s\n", e.messageText());
        return 1;
    }
    return 0;
}
