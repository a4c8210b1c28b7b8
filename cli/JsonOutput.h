#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// The JSON that kvtool-cli prints with --json: one object per line, each carrying the
// schema version and the command. The schema is documented in the README ("Command
// line"); a change that removes a key or changes a type raises the version.
constexpr int JSON_SCHEMA_VERSION = 1;

// {"schemaVersion": 1, "command": command}
QJsonObject jsonObject(const QString& command);
// The final object of a command: jsonObject plus "ok", "exitCode", "error" and "hint"
// (the last two null on success) and "usbError" (the USB backend's reason behind the last
// failure it saw, or null).
QJsonObject jsonResult(const QString& command, int exitCode, const QString& error = QString(),
                       const QString& hint = QString(), const QString& usbError = QString());

// `object` with every key of `fields` added, replacing its own of the same name.
QJsonObject merged(QJsonObject object, const QJsonObject& fields);

// A text, or null for a null text.
QJsonValue jsonText(const QString& text);
// A number, or null.
template <typename Number>
QJsonValue jsonNumber(const std::optional<Number>& value) {
    return value ? QJsonValue(qint64(*value)) : QJsonValue(QJsonValue::Null);
}
