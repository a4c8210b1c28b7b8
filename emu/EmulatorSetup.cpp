#include "emu/EmulatorSetup.h"

#include "device/UsbIds.h"
#include "emu/Gen2ProbeOptions.h"
#include "emu/Gen3Probe.h"

#include <QRegularExpression>

#include <optional>

namespace {

// Makes a device of a kind, given its serial number.
using Factory = std::function<std::shared_ptr<EmulatedDevice>(const QString&)>;

struct Kind {
    const char* name;
    const char* description;
    const char* serialPrefix;
    QStringList options;  // accepted besides "serial"
    // Reads the options' values into the factory of the device; sets `problem` when they
    // are not acceptable.
    std::function<Factory(const EmulatorSetup::Options&, QString& problem)> prepare;
    // Whether the device has a function that can be opened (and so takes `open`).
    bool hasFunction = true;
};

// The `open` option of every kind with a function: how each open of the device ends.
std::optional<OpenRefusal> openRefusal(const QString& value) {
    if (value == u"ok") {
        return OpenRefusal::None;
    }
    if (value == u"denied") {
        return OpenRefusal::Denied;
    }
    if (value == u"busy") {
        return OpenRefusal::Busy;
    }
    if (value == u"fail") {
        return OpenRefusal::Other;
    }
    return std::nullopt;
}

// Reads a hexadecimal 16-bit id option; false when present but malformed.
bool hexOption(const EmulatorSetup::Options& options, const QString& key, quint16& value) {
    if (!options.contains(key)) {
        return true;
    }
    bool ok = false;
    const uint parsed = options.value(key).toUInt(&ok, 16);
    if (!ok || parsed > 0xFFFF) {
        return false;
    }
    value = static_cast<quint16>(parsed);
    return true;
}

// The kind of a generation-2 probe that starts in its application or in its bootloader.
Kind gen2Kind(const char* name, const char* description, bool inBootloader) {
    return {name, description, "K2", Gen2ProbeOptions::names(inBootloader),
            [inBootloader](const EmulatorSetup::Options& options, QString& problem) -> Factory {
                Gen2ProbeOptions parsed;
                problem = Gen2ProbeOptions::parse(options, inBootloader, parsed);
                return [parsed, inBootloader](const QString& serial) {
                    return parsed.create(serial, inBootloader);
                };
            }};
}

const QList<Kind>& kinds() {
    static const QList<Kind> all = {
        {"gen3",
         "generation-3 probe with its resident loader (options version, desc, installed, "
         "busy, memory, fault)",
         "K3", Gen3ProbeOptions::keys(),
         [](const EmulatorSetup::Options& options, QString& problem) -> Factory {
             const std::optional<Gen3ProbeOptions> parsed =
                 Gen3ProbeOptions::fromSpec(options, problem);
             return [parsed](const QString& serial) { return createGen3Probe(serial, *parsed); };
         }},
        gen2Kind("gen2",
                 "generation-2 probe running its application firmware (options version, variant "
                 "or flags, reboot, fault: never, app@N, verify@K, mute[@N], unplug@N)",
                 false),
        gen2Kind("gen2-bootloader",
                 "generation-2 probe left in its bootloader with no application (options reboot, "
                 "fault)",
                 true),
        {"device",
         "any USB device without a function (options vid, pid in hexadecimal)",
         "D",
         {QStringLiteral("vid"), QStringLiteral("pid")},
         [](const EmulatorSetup::Options& options, QString& problem) -> Factory {
             quint16 vid = 0x1D6B;
             quint16 pid = 0x0002;
             if (!hexOption(options, QStringLiteral("vid"), vid) ||
                 !hexOption(options, QStringLiteral("pid"), pid)) {
                 problem = QStringLiteral("vid and pid are hexadecimal 16-bit ids");
             }
             return [vid, pid](const QString& serial) {
                 return std::make_shared<EmulatedDevice>(vid, pid, serial);
             };
         },
         false},
    };
    return all;
}

}  // namespace

EmulatorSetup EmulatorSetup::parse(const QString& text) {
    EmulatorSetup spec;
    QMap<QString, int> countPerPrefix;
    static const QRegularExpression separators(QStringLiteral("[,;\\n]"));
    for (const QString& rawItem : text.split(separators, Qt::SkipEmptyParts)) {
        const QString itemText = rawItem.trimmed();
        if (itemText.isEmpty() || itemText.startsWith(u'#')) {
            continue;
        }
        const QStringList parts = itemText.split(u':');
        const QString kindName = parts.first().trimmed().toLower();
        const auto kind = std::find_if(kinds().begin(), kinds().end(), [&](const Kind& k) {
            return kindName == QLatin1String(k.name);
        });
        if (kind == kinds().end()) {
            spec.errors << QStringLiteral("unknown device kind \"%1\"").arg(kindName);
            continue;
        }
        Options options;
        // Kept from the kind's own options: how an open ends, and the node that stands for
        // the device.
        QString open = QStringLiteral("ok");
        QString node;
        QString problem;
        for (const QString& part : parts.mid(1)) {
            const qsizetype equals = part.indexOf(u'=');
            const QString key = part.left(equals).trimmed().toLower();
            const bool opens = key == u"open" && kind->hasFunction;
            const bool names = key == u"node" && kind->hasFunction;
            if (equals < 1 ||
                (key != u"serial" && !opens && !names && !kind->options.contains(key))) {
                problem = QStringLiteral("option \"%1\" not understood by %2")
                              .arg(part.trimmed(), kindName);
                break;
            }
            if (opens) {
                open = part.mid(equals + 1).trimmed();
            } else if (names) {
                node = part.mid(equals + 1).trimmed();
            } else {
                options.insert(key, part.mid(equals + 1).trimmed());
            }
        }
        const std::optional<OpenRefusal> refusal = openRefusal(open);
        if (problem.isEmpty() && !refusal) {
            problem = QStringLiteral("open is ok, denied, busy or fail");
        }
        Factory create;
        if (problem.isEmpty()) {
            create = kind->prepare(options, problem);
        }
        if (!problem.isEmpty()) {
            spec.errors << problem;
            continue;
        }
        const QString prefix = QLatin1String(kind->serialPrefix);
        const int ordinal = ++countPerPrefix[prefix];
        const QString serial =
            options.value(QStringLiteral("serial"),
                          prefix + QStringLiteral("%1").arg(ordinal, 8 - int(prefix.size()), 10,
                                                            QLatin1Char('0')));
        Item item;
        item.kind = kindName;
        item.options = options;
        item.serial = serial;
        item.key = itemText + QStringLiteral("#serial=") + serial;
        item.create = [create, serial, refusal, node] {
            std::shared_ptr<EmulatedDevice> device = create(serial);
            if (*refusal != OpenRefusal::None) {
                device->faults().refuseOpen(*refusal);
            }
            device->setDeviceNode(node);
            return device;
        };
        spec.items << item;
    }
    return spec;
}

QStringList EmulatorSetup::kindDescriptions() {
    QStringList lines;
    for (const Kind& kind : kinds()) {
        lines << QStringLiteral("%1: %2").arg(QLatin1String(kind.name),
                                              QLatin1String(kind.description));
    }
    return lines;
}

std::optional<qint64> optionNumber(const QString& text, qint64 maximum) {
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok, 0);
    if (!ok || value < 0 || value > maximum)
        return std::nullopt;
    return value;
}
