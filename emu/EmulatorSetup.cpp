#include "emu/EmulatorSetup.h"

#include "device/UsbIds.h"
#include "emu/Gen2ProbeOptions.h"
#include "emu/Gen3Probe.h"

#include <QRegularExpression>

#include <optional>

namespace {

struct Kind {
    const char* name;
    const char* description;
    const char* serialPrefix;
    QStringList options;  // accepted besides "serial"
    std::function<std::shared_ptr<EmulatedDevice>(const EmulatorSetup::Options&, const QString&)>
        create;
    // Why the options' values are not acceptable, or empty when they are (may be unset).
    std::function<QString(const EmulatorSetup::Options&)> check = nullptr;
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

Gen2ProbeOptions gen2Options(const EmulatorSetup::Options& options, bool inBootloader) {
    Gen2ProbeOptions parsed;
    Gen2ProbeOptions::parse(options, inBootloader, parsed);
    return parsed;
}

QString gen2Problem(const EmulatorSetup::Options& options, bool inBootloader) {
    Gen2ProbeOptions parsed;
    return Gen2ProbeOptions::parse(options, inBootloader, parsed);
}

const QList<Kind>& kinds() {
    static const QList<Kind> all = {
        {"gen3",
         "generation-3 probe with its resident loader (options version, desc, installed, "
         "busy, memory, fault)",
         "K3", Gen3ProbeOptions::keys(),
         [](const EmulatorSetup::Options& options, const QString& serial) {
             QString problem;
             return createGen3Probe(
                 serial, Gen3ProbeOptions::fromSpec(options, problem).value_or(Gen3ProbeOptions()));
         },
         [](const EmulatorSetup::Options& options) {
             QString problem;
             Gen3ProbeOptions::fromSpec(options, problem);
             return problem;
         }},
        {"gen2",
         "generation-2 probe running its application firmware (options version, variant or "
         "flags, reboot, fault: never, app@N, verify@K, mute[@N], unplug@N)",
         "K2", Gen2ProbeOptions::names(false),
         [](const EmulatorSetup::Options& options, const QString& serial) {
             return gen2Options(options, false).create(serial, false);
         },
         [](const EmulatorSetup::Options& options) { return gen2Problem(options, false); }},
        {"gen2-bootloader",
         "generation-2 probe left in its bootloader with no application (options reboot, "
         "fault)",
         "K2", Gen2ProbeOptions::names(true),
         [](const EmulatorSetup::Options& options, const QString& serial) {
             return gen2Options(options, true).create(serial, true);
         },
         [](const EmulatorSetup::Options& options) { return gen2Problem(options, true); }},
        {"device",
         "any USB device without a function (options vid, pid in hexadecimal)",
         "D",
         {QStringLiteral("vid"), QStringLiteral("pid")},
         [](const EmulatorSetup::Options& options, const QString& serial) {
             quint16 vid = 0x1D6B;
             quint16 pid = 0x0002;
             hexOption(options, QStringLiteral("vid"), vid);
             hexOption(options, QStringLiteral("pid"), pid);
             return std::make_shared<EmulatedDevice>(vid, pid, serial);
         },
         nullptr,
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
        QString open = QStringLiteral("ok");  // kept from the kind's own options
        QString problem;
        for (const QString& part : parts.mid(1)) {
            const qsizetype equals = part.indexOf(u'=');
            const QString key = part.left(equals).trimmed().toLower();
            const bool opens = key == u"open" && kind->hasFunction;
            if (equals < 1 || (key != u"serial" && !opens && !kind->options.contains(key))) {
                problem = QStringLiteral("option \"%1\" not understood by %2")
                              .arg(part.trimmed(), kindName);
                break;
            }
            if (opens) {
                open = part.mid(equals + 1).trimmed();
            } else {
                options.insert(key, part.mid(equals + 1).trimmed());
            }
        }
        quint16 ignored = 0;
        if (problem.isEmpty() && (!hexOption(options, QStringLiteral("vid"), ignored) ||
                                  !hexOption(options, QStringLiteral("pid"), ignored))) {
            problem = QStringLiteral("vid and pid are hexadecimal 16-bit ids");
        }
        const std::optional<OpenRefusal> refusal = openRefusal(open);
        if (problem.isEmpty() && !refusal) {
            problem = QStringLiteral("open is ok, denied, busy or fail");
        }
        if (problem.isEmpty() && kind->check) {
            problem = kind->check(options);
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
        const auto create = kind->create;
        item.create = [create, options, serial, refusal] {
            std::shared_ptr<EmulatedDevice> device = create(options, serial);
            if (*refusal != OpenRefusal::None) {
                device->faults().refuseOpen(*refusal);
            }
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
