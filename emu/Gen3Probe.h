#pragma once

#include "emu/EmulatedDevice.h"
#include "emu/Gen3Loader.h"
#include "emu/ReplyTiming.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// How an emulated generation-3 probe starts: its loader's settings, the image installed at
// the factory (or none) and the faults its loader injects.
struct Gen3ProbeOptions {
    Gen3Loader::Settings loader;
    bool installed = true;
    quint16 versionMajor = 1;
    quint16 versionMinor = 3;
    QString description = QStringLiteral("factory build");
    QList<Gen3LoaderFault> faults;
    ReplyTiming timing;

    // The option keys of the `gen3` kind of KVTOOL_EMULATE besides `serial`:
    //   version=MAJOR.MINOR   installed image's version (default 1.3)
    //   desc=TEXT             its description (default "factory build")
    //   installed=yes|no      whether an image is installed (default yes)
    //   busy=N                connect answers busy N times first (default 0)
    //   memory=SIZE           loader memory from 0x2000, bytes or with K/M (default 256K)
    //   fault=F[+F...]        loader faults (Gen3LoaderFault::parse)
    //   latency, late, jitter, seed   when the loader's replies go out (ReplyTiming)
    static QStringList keys();
    // Reads the options of one `gen3` item; on a malformed value returns nothing and says
    // why in `problem`.
    static std::optional<Gen3ProbeOptions> fromSpec(const QMap<QString, QString>& options,
                                                    QString& problem);
};

// The image the factory installs: a header with the given version and description, then a
// patterned payload, FACTORY_IMAGE_SIZE bytes in all.
constexpr int FACTORY_IMAGE_SIZE = 3 * 8192;
QByteArray factoryImage(quint16 versionMajor, quint16 versionMinor, const QString& description);

// A generation-3 probe: an FTDI-style chip with the emulated loader behind it.
std::shared_ptr<EmulatedDevice> createGen3Probe(const QString& serialNumber,
                                                const Gen3ProbeOptions& options = {});
// The loader inside a probe made by createGen3Probe; null for any other device.
Gen3Loader* gen3LoaderOf(const EmulatedDevice& device);
