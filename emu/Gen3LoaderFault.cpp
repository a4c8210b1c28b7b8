#include "emu/Gen3LoaderFault.h"

#include <QStringList>

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<LoaderCommand, const char*>, 6> COMMAND_NAMES = {{
    {LoaderCommand::Connect, "connect"},
    {LoaderCommand::Disconnect, "disconnect"},
    {LoaderCommand::Write, "write"},
    {LoaderCommand::Erase, "erase"},
    {LoaderCommand::Crc, "crc"},
    {LoaderCommand::Info, "info"},
}};

constexpr std::array<std::pair<Gen3LoaderFault::Kind, const char*>, 4> REPLY_FAULT_NAMES = {{
    {Gen3LoaderFault::WrongTag, "tag"},
    {Gen3LoaderFault::Failure, "fail"},
    {Gen3LoaderFault::ShortReply, "short"},
    {Gen3LoaderFault::NoReply, "silent"},
}};

bool hasStatusByte(LoaderCommand command) {
    return command != LoaderCommand::Crc && command != LoaderCommand::Info;
}

// "@3" -> 3, "@*" -> 0, "" -> 1; nothing when malformed.
std::optional<int> parseOccurrence(const QString& text) {
    if (text.isEmpty()) {
        return 1;
    }
    if (text == u"@*") {
        return 0;
    }
    bool ok = false;
    const int n = text.mid(1).toInt(&ok);
    if (!text.startsWith(u'@') || !ok || n < 1) {
        return std::nullopt;
    }
    return n;
}

}  // namespace

std::optional<Gen3LoaderFault> Gen3LoaderFault::parse(const QString& text) {
    const QString item = text.trimmed().toLower();
    const qsizetype at = item.indexOf(u'@');
    const QString name = at < 0 ? item : item.left(at);
    const std::optional<int> occurrence = parseOccurrence(at < 0 ? QString() : item.mid(at));
    if (!occurrence) {
        return std::nullopt;
    }
    Gen3LoaderFault fault;
    fault.occurrence = *occurrence;
    if (name == u"crc-mismatch") {
        fault.kind = CrcMismatch;
        fault.command = LoaderCommand::Crc;
        return fault;
    }
    if (name == u"unplug") {
        fault.kind = Unplug;
        fault.command = LoaderCommand::Write;
        return fault;
    }
    const qsizetype dash = name.indexOf(u'-');
    const QString commandName = name.left(dash);
    const QString kindName = name.mid(dash + 1);
    bool commandFound = false;
    for (const auto& [value, commandText] : COMMAND_NAMES) {
        if (dash > 0 && commandName == QLatin1String(commandText)) {
            fault.command = value;
            commandFound = true;
        }
    }
    if (!commandFound) {
        return std::nullopt;
    }
    for (const auto& [value, kindText] : REPLY_FAULT_NAMES) {
        if (kindName == QLatin1String(kindText)) {
            fault.kind = value;
            if (value == Failure && !hasStatusByte(fault.command)) {
                return std::nullopt;
            }
            return fault;
        }
    }
    return std::nullopt;
}

std::optional<QList<Gen3LoaderFault>> Gen3LoaderFault::parseList(const QString& text) {
    QList<Gen3LoaderFault> faults;
    for (const QString& item : text.split(u'+', Qt::SkipEmptyParts)) {
        const std::optional<Gen3LoaderFault> fault = parse(item);
        if (!fault) {
            return std::nullopt;
        }
        faults << *fault;
    }
    return faults;
}
