#include "cli/JsonOutput.h"

QJsonObject jsonObject(const QString& command) {
    return QJsonObject{{QStringLiteral("schemaVersion"), JSON_SCHEMA_VERSION},
                       {QStringLiteral("command"), command}};
}

QJsonObject jsonResult(const QString& command, int exitCode, const QString& error,
                       const QString& hint, const QString& usbError) {
    QJsonObject object = jsonObject(command);
    object.insert(QStringLiteral("ok"), exitCode == 0);
    object.insert(QStringLiteral("exitCode"), exitCode);
    object.insert(QStringLiteral("error"), jsonText(error));
    object.insert(QStringLiteral("hint"), jsonText(hint));
    object.insert(QStringLiteral("usbError"), jsonText(usbError));
    return object;
}

QJsonObject merged(QJsonObject object, const QJsonObject& fields) {
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        object.insert(it.key(), it.value());
    }
    return object;
}

QJsonValue jsonText(const QString& text) {
    return text.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}
