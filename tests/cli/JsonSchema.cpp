#include "JsonSchema.h"

#include <QJsonArray>
#include <QStringList>

#include <gtest/gtest.h>

namespace schema {

namespace {

int typeOf(const QJsonValue& value) {
    switch (value.type()) {
        case QJsonValue::String:
            return Str;
        case QJsonValue::Double:
            return Num;
        case QJsonValue::Bool:
            return Bool;
        case QJsonValue::Null:
            return Null;
        case QJsonValue::Object:
            return Obj;
        case QJsonValue::Array:
            return Arr;
        case QJsonValue::Undefined:
            break;
    }
    return 0;
}

}  // namespace

const Schema& COMMON() {
    static const Schema schema = Schema{{"schemaVersion", Num}, {"command", Str}};
    return schema;
}

const Schema& RESULT() {
    static const Schema schema = COMMON() + Schema{{"ok", Bool},
                                                   {"exitCode", Num},
                                                   {"error", Str | Null},
                                                   {"hint", Str | Null},
                                                   {"usbError", Str | Null}};
    return schema;
}

const Schema& PROBE() {
    static const Schema schema =
        Schema{{"serial", Str},     {"generation", Num | Null}, {"mode", Str},
               {"devicePath", Str}, {"vendorId", Str},          {"productId", Str}};
    return schema;
}

const Schema& FIRMWARE() {
    static const Schema schema = Schema{{"state", Str},
                                        {"versionText", Str | Null},
                                        {"versionMajor", Num | Null},
                                        {"versionMinor", Num | Null},
                                        {"description", Str | Null},
                                        {"variant", Str | Null},
                                        {"target", Str | Null},
                                        {"clocking", Str | Null},
                                        {"loaderVersion", Str | Null}};
    return schema;
}

const Schema& MARKS() {
    static const Schema schema =
        Schema{{"imageMagic", Num | Null},  {"serialMarker", Num | Null},
               {"serialField", Obj | Null}, {"deviceDescriptor", Num | Null},
               {"makerName", Num | Null},   {"versionRecord", Num | Null}};
    return schema;
}

const Schema& SERIAL_FIELD() {
    static const Schema schema = Schema{{"offset", Num}, {"length", Num}, {"text", Str}};
    return schema;
}

const Schema& IMAGE() {
    static const Schema schema = Schema{{"path", Str},
                                        {"size", Num},
                                        {"crc32", Num},
                                        {"sha256", Str},
                                        {"generation", Num | Null},
                                        {"installable", Bool},
                                        {"problem", Str | Null},
                                        {"versionText", Str | Null},
                                        {"versionMajor", Num | Null},
                                        {"versionMinor", Num | Null},
                                        {"description", Str | Null},
                                        {"variant", Str | Null},
                                        {"target", Str | Null},
                                        {"clocking", Str | Null},
                                        {"applicationBytes", Num | Null},
                                        {"marks", Obj}};
    return schema;
}

const Schema& PLAN() {
    static const Schema schema = Schema{{"address", Num},  {"bytes", Num}, {"unit", Str},
                                        {"unitSize", Num}, {"count", Num}, {"steps", Arr}};
    return schema;
}

const Schema& ACCESS() {
    static const Schema schema = Schema{
        {"probe", Obj},       {"deviceNode", Str}, {"accessible", Bool}, {"error", Str | Null},
        {"node", Obj | Null}, {"heldBy", Arr},     {"causes", Arr},      {"fixes", Arr}};
    return schema;
}

const Schema& START() {
    static const Schema schema = COMMON() + Schema{{"event", Str},
                                                   {"dryRun", Bool},
                                                   {"probe", Obj},
                                                   {"previousFirmware", Obj},
                                                   {"image", Obj}};
    return schema;
}

const Schema& PHASE() {
    static const Schema schema =
        COMMON() + Schema{{"event", Str}, {"text", Str}, {"total", Num}, {"units", Str | Null}};
    return schema;
}

const Schema& PROGRESS() {
    static const Schema schema = PHASE() + Schema{{"done", Num}};
    return schema;
}

const Schema& MESSAGE() {
    static const Schema schema = COMMON() + Schema{{"event", Str}, {"text", Str}};
    return schema;
}

const Schema& INSTALL_RESULT() {
    static const Schema schema = RESULT() + Schema{{"event", Str},
                                                   {"dryRun", Bool},
                                                   {"probe", Obj | Null},
                                                   {"image", Obj | Null},
                                                   {"previousFirmware", Obj | Null},
                                                   {"firmware", Obj | Null},
                                                   {"plan", Obj | Null},
                                                   {"phases", Arr | Null},
                                                   {"station", Str},
                                                   {"kvtoolVersion", Str}};
    return schema;
}

const Schema& PROBE_RESULT() {
    static const Schema schema =
        Schema{{"serial", Str},        {"port", Str},         {"ok", Bool},
               {"result", Str},        {"error", Str | Null}, {"usbError", Str | Null},
               {"before", Obj | Null}, {"after", Obj | Null}, {"seconds", Num},
               {"sha256", Str | Null}, {"phases", Arr},       {"station", Str},
               {"kvtoolVersion", Str}};
    return schema;
}

const Schema& RECORD() {
    static const Schema schema = [] {
        Schema record = PROBE_RESULT();
        record.removeIf([](const auto& key) { return key.first == u"ok"; });
        return record + Schema{{"time", Str}};
    }();
    return schema;
}

const Schema& PHASE_TIME() {
    static const Schema schema{{"phase", Str}, {"seconds", Num}};
    return schema;
}

const Schema& PER_PROBE() {
    static const Schema schema = Schema{{"serial", Str}, {"port", Str}};
    return schema;
}

const Schema& UDEV_RULE() {
    static const Schema schema{
        {"installed", Bool}, {"paths", Arr}, {"maskedBy", Str | Null}, {"searched", Arr}};
    return schema;
}

const Schema& SESSION() {
    static const Schema schema{{"user", Str}, {"seat", Str | Null}, {"ssh", Bool}};
    return schema;
}

const Schema& NODE() {
    static const Schema schema{{"owner", Str},   {"group", Str},          {"mode", Str},
                               {"hasAcl", Bool}, {"aclGrantsUser", Bool}, {"userInGroup", Bool}};
    return schema;
}

const Schema& DOCTOR_RESULT() {
    static const Schema schema =
        RESULT() + Schema{{"probes", Arr}, {"udevRule", Obj}, {"session", Obj}};
    return schema;
}

void expectSchema(const QJsonObject& object, const Schema& schema, const QString& where) {
    QStringList documented;
    for (const auto& [key, types] : schema) {
        documented << key;
        EXPECT_TRUE(object.contains(key))
            << where.toStdString() << ": no key " << key.toStdString();
        if (object.contains(key)) {
            EXPECT_NE(typeOf(object.value(key)) & types, 0)
                << where.toStdString() << "." << key.toStdString() << " has the wrong type";
        }
    }
    for (const QString& key : object.keys()) {
        EXPECT_TRUE(documented.contains(key))
            << where.toStdString() << ": undocumented key " << key.toStdString();
    }
}

// Checks the nested objects that the schema names, wherever they are present.
void expectNested(const QJsonObject& object, const QString& where) {
    const auto nested = [&](const char* key, const Schema& schema) {
        if (object.value(QLatin1String(key)).isObject()) {
            expectSchema(object.value(QLatin1String(key)).toObject(), schema,
                         where + u'.' + QLatin1String(key));
        }
    };
    nested("probe", PROBE());
    nested("firmware", FIRMWARE());
    nested("previousFirmware", FIRMWARE());
    nested("before", FIRMWARE());
    nested("after", FIRMWARE());
    nested("plan", PLAN());
    for (const QJsonValue& phase : object.value(QStringLiteral("phases")).toArray()) {
        expectSchema(phase.toObject(), PHASE_TIME(), where + QStringLiteral(".phases"));
    }
    nested("udevRule", UDEV_RULE());
    nested("session", SESSION());
    nested("node", NODE());
    for (const char* key : {"image", "newerImage"}) {
        if (!object.value(QLatin1String(key)).isObject()) {
            continue;
        }
        const QString at = where + u'.' + QLatin1String(key);
        const QJsonObject image = object.value(QLatin1String(key)).toObject();
        expectSchema(image, IMAGE(), at);
        const QJsonObject marks = image.value(QStringLiteral("marks")).toObject();
        expectSchema(marks, MARKS(), at + QStringLiteral(".marks"));
        if (marks.value(QStringLiteral("serialField")).isObject()) {
            expectSchema(marks.value(QStringLiteral("serialField")).toObject(), SERIAL_FIELD(),
                         at + QStringLiteral(".marks.serialField"));
        }
    }
}

}  // namespace schema
