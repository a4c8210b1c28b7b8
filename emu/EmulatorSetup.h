#pragma once

#include "emu/EmulatedDevice.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// The emulated devices named by a text such as "gen3", "gen2,gen3" or
// "gen3:serial=K3000042:busy=3, device:vid=046d:pid=c52b". Items are separated by commas,
// semicolons or line breaks; each is a kind followed by ':'-separated key=value options.
// Every kind takes `serial`; without it the n-th device of a kind gets a fixed default.
// Every kind that can be opened takes `open=ok|denied|busy|fail`: each open of the device
// succeeds, or is refused as for a user without access to its device node, as for a
// device that another program holds, or for another reason.
struct EmulatorSetup {
    using Options = QMap<QString, QString>;

    struct Item {
        QString kind;
        Options options;
        QString serial;
        QString key;  // identifies the item across re-reads of a control file
        std::function<std::shared_ptr<EmulatedDevice>()> create;
    };

    QList<Item> items;
    QStringList errors;  // one line per item that was left out, saying why

    static EmulatorSetup parse(const QString& text);
    // The kinds understood, with a one-line description each (for help texts).
    static QStringList kindDescriptions();
};

// An option's whole number from 0 to `maximum`, decimal or with a 0x prefix.
std::optional<qint64> optionNumber(const QString& text, qint64 maximum);

// Reads option `key`, when present, as optionNumber into `setting`; false when malformed.
template <typename Number>
bool readOptionNumber(const EmulatorSetup::Options& options, QLatin1String key, qint64 maximum,
                      Number& setting) {
    if (!options.contains(key))
        return true;
    const std::optional<qint64> value = optionNumber(options.value(key), maximum);
    if (value)
        setting = Number(*value);
    return value.has_value();
}
