#include "probe/SessionWire.h"

#include "app/HException.h"
#include "probe/NameTable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace sessionwire {
namespace {

[[noreturn]] void fail(const QString& message) {
    throw HException(message.toLocal8Bit().toStdString());
}

// The value of `table` that `value` names; "unknown WHAT ..." when none.
template <typename Table>
auto valueFrom(const Table& table, const QJsonValue& value, const char* what) {
    if (const auto kind = table.find(value.toString())) {
        return *kind;
    }
    fail(QStringLiteral("unknown %1 \"%2\"").arg(QLatin1String(what), value.toString()));
}

constexpr NameTable<SessionOutcome, 4> OUTCOMES{{{{SessionOutcome::Installed, "installed"},
                                                  {SessionOutcome::Planned, "planned"},
                                                  {SessionOutcome::UpToDate, "upToDate"},
                                                  {SessionOutcome::Failed, "failed"}}}};
constexpr NameTable<FailureKind, 9> FAILURES{{{{FailureKind::None, "none"},
                                               {FailureKind::ImageRefused, "imageRefused"},
                                               {FailureKind::NoProbe, "noProbe"},
                                               {FailureKind::PermissionDenied, "permissionDenied"},
                                               {FailureKind::Failed, "failed"},
                                               {FailureKind::NotReturned, "notReturned"},
                                               {FailureKind::Abandoned, "abandoned"},
                                               {FailureKind::InUse, "inUse"},
                                               {FailureKind::DeviceBusy, "deviceBusy"}}}};
constexpr NameTable<ProbeState, 3> STATES{{{{ProbeState::Untouched, "untouched"},
                                            {ProbeState::NeedsInstall, "needsInstall"},
                                            {ProbeState::Installed, "installed"}}}};
constexpr NameTable<InstalledFirmware::State, 4> FIRMWARE_STATES{
    {{{InstalledFirmware::State::Installed, "installed"},
      {InstalledFirmware::State::NotInstalled, "notInstalled"},
      {InstalledFirmware::State::BootloaderRunning, "bootloaderRunning"},
      {InstalledFirmware::State::Unknown, "unknown"}}}};
constexpr NameTable<SessionMessage, 2> MESSAGES{
    {{{SessionMessage::Installed, "installed"},
      {SessionMessage::AwaitingRestart, "awaitingRestart"}}}};

QJsonValue number(const std::optional<quint16>& value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

std::optional<quint16> number16(const QJsonValue& value) {
    if (value.isNull() || value.isUndefined()) {
        return std::nullopt;
    }
    const qint64 n = value.toInteger(-1);
    if (n < 0 || n > 0xFFFF) {
        fail(QStringLiteral("a 16-bit number out of range"));
    }
    return quint16(n);
}

QJsonObject firmwareObject(const InstalledFirmware& firmware) {
    return {{QStringLiteral("state"), FIRMWARE_STATES.of(firmware.state)},
            {QStringLiteral("generation"), firmware.generation},
            {QStringLiteral("versionMajor"), number(firmware.versionMajor)},
            {QStringLiteral("versionMinor"), number(firmware.versionMinor)},
            {QStringLiteral("versionText"), firmware.versionText},
            {QStringLiteral("description"), firmware.description},
            {QStringLiteral("flags"), number(firmware.flags)},
            {QStringLiteral("loaderVersionMajor"), number(firmware.loaderVersionMajor)},
            {QStringLiteral("loaderVersionMinor"), number(firmware.loaderVersionMinor)},
            {QStringLiteral("kind"), number(firmware.kind)}};
}

InstalledFirmware firmwareFrom(const QJsonObject& object) {
    InstalledFirmware firmware;
    firmware.state =
        valueFrom(FIRMWARE_STATES, object.value(QLatin1String("state")), "firmware state");
    firmware.generation = object.value(QLatin1String("generation")).toInt();
    firmware.versionMajor = number16(object.value(QLatin1String("versionMajor")));
    firmware.versionMinor = number16(object.value(QLatin1String("versionMinor")));
    firmware.versionText = object.value(QLatin1String("versionText")).toString();
    firmware.description = object.value(QLatin1String("description")).toString();
    firmware.flags = number16(object.value(QLatin1String("flags")));
    firmware.loaderVersionMajor = number16(object.value(QLatin1String("loaderVersionMajor")));
    firmware.loaderVersionMinor = number16(object.value(QLatin1String("loaderVersionMinor")));
    firmware.kind = number16(object.value(QLatin1String("kind")));
    return firmware;
}

QJsonValue optionalFirmware(const std::optional<InstalledFirmware>& firmware) {
    return firmware ? QJsonValue(firmwareObject(*firmware)) : QJsonValue(QJsonValue::Null);
}

std::optional<InstalledFirmware> optionalFirmwareFrom(const QJsonValue& value) {
    return value.isObject() ? std::optional(firmwareFrom(value.toObject())) : std::nullopt;
}

QJsonObject planObject(const PlanSummary& plan) {
    return {{QStringLiteral("address"), qint64(plan.address)},
            {QStringLiteral("bytes"), plan.bytes},
            {QStringLiteral("unit"), plan.unit},
            {QStringLiteral("unitSize"), plan.unitSize},
            {QStringLiteral("count"), plan.count},
            {QStringLiteral("steps"), QJsonArray::fromStringList(plan.steps)}};
}

PlanSummary planFrom(const QJsonObject& object) {
    PlanSummary plan;
    plan.address = quint32(object.value(QLatin1String("address")).toInteger());
    plan.bytes = object.value(QLatin1String("bytes")).toInteger();
    plan.unit = object.value(QLatin1String("unit")).toString();
    plan.unitSize = object.value(QLatin1String("unitSize")).toInt();
    plan.count = object.value(QLatin1String("count")).toInteger();
    for (const auto& step : object.value(QLatin1String("steps")).toArray()) {
        plan.steps << step.toString();
    }
    return plan;
}

QJsonObject resultObject(const SessionResult& result) {
    QJsonArray phases;
    for (const PhaseTime& time : result.phaseTimes) {
        phases.append(QJsonObject{{QStringLiteral("phase"), phaseName(time.phase)},
                                  {QStringLiteral("ms"), time.ms}});
    }
    return {{QStringLiteral("outcome"), OUTCOMES.of(result.outcome)},
            {QStringLiteral("failure"),
             QJsonObject{{QStringLiteral("kind"), FAILURES.of(result.failure.kind)},
                         {QStringLiteral("message"), result.failure.message},
                         {QStringLiteral("usbReason"), result.failure.usbReason},
                         {QStringLiteral("holder"), result.failure.holder},
                         {QStringLiteral("reportedTotal"), result.failure.reportedTotal}}},
            {QStringLiteral("probeState"), STATES.of(result.probeState)},
            {QStringLiteral("before"), optionalFirmware(result.before)},
            {QStringLiteral("after"), optionalFirmware(result.after)},
            {QStringLiteral("plan"),
             result.plan ? QJsonValue(planObject(*result.plan)) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("elapsedMs"), result.elapsedMs},
            {QStringLiteral("phaseTimes"), phases},
            {QStringLiteral("imagePath"), result.imagePath},
            {QStringLiteral("imageSha256"), result.imageSha256}};
}

SessionResult resultFrom(const QJsonObject& object) {
    SessionResult result;
    result.outcome = valueFrom(OUTCOMES, object.value(QLatin1String("outcome")), "outcome");
    const QJsonObject failure = object.value(QLatin1String("failure")).toObject();
    result.failure.kind = valueFrom(FAILURES, failure.value(QLatin1String("kind")), "failure");
    result.failure.message = failure.value(QLatin1String("message")).toString();
    result.failure.usbReason = failure.value(QLatin1String("usbReason")).toString();
    result.failure.holder = failure.value(QLatin1String("holder")).toString();
    result.failure.reportedTotal = failure.value(QLatin1String("reportedTotal")).toBool();
    result.probeState = valueFrom(STATES, object.value(QLatin1String("probeState")), "probe state");
    result.before = optionalFirmwareFrom(object.value(QLatin1String("before")));
    result.after = optionalFirmwareFrom(object.value(QLatin1String("after")));
    if (const QJsonValue plan = object.value(QLatin1String("plan")); plan.isObject()) {
        result.plan = planFrom(plan.toObject());
    }
    result.elapsedMs = object.value(QLatin1String("elapsedMs")).toInteger();
    result.imagePath = object.value(QLatin1String("imagePath")).toString();
    result.imageSha256 = object.value(QLatin1String("imageSha256")).toString();
    for (const auto& time : object.value(QLatin1String("phaseTimes")).toArray()) {
        const std::optional<InstallPhase> phase =
            phaseFromName(time[QLatin1String("phase")].toString());
        if (!phase) {
            fail(QStringLiteral("unknown phase \"%1\"")
                     .arg(time[QLatin1String("phase")].toString()));
        }
        result.phaseTimes.append({*phase, time[QLatin1String("ms")].toInteger()});
    }
    return result;
}

QByteArray line(QJsonObject object) {
    object.insert(QLatin1String(VERSION_KEY), VERSION);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// The object of a line of this version; throws for another version, a refusal or garbage.
QJsonObject objectOf(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (!document.isObject()) {
        fail(QStringLiteral("not a session line: %1")
                 .arg(QString::fromUtf8(bytes.left(80)).trimmed()));
    }
    QJsonObject object = document.object();
    const int version = object.value(QLatin1String(VERSION_KEY)).toInt(-1);
    if (version != VERSION) {
        fail(QStringLiteral("the install process speaks session protocol version %1, this "
                            "kvtool-cli version %2 (was kvtool-cli replaced while it ran?)")
                 .arg(version)
                 .arg(VERSION));
    }
    if (object.value(QLatin1String("event")).toString() == u"refused") {
        fail(object.value(QLatin1String("message")).toString());
    }
    return object;
}

}  // namespace

QByteArray encodeRequest(const Request& request) {
    const UsbDeviceInfo& probe = request.probe;
    QJsonValue update(QJsonValue::Null);
    if (request.update) {
        update = QJsonObject{
            {QStringLiteral("offers"), QJsonArray::fromStringList(request.update->offers)},
            {QStringLiteral("variant"), request.update->variant
                                            ? QJsonValue(*request.update->variant)
                                            : QJsonValue(QJsonValue::Null)}};
    }
    return line(
        {{QStringLiteral("event"), QStringLiteral("request")},
         {QStringLiteral("probe"), QJsonObject{{QStringLiteral("vendorId"), probe.vendorId},
                                               {QStringLiteral("productId"), probe.productId},
                                               {QStringLiteral("serial"), probe.serialNumber()},
                                               {QStringLiteral("devicePath"), probe.devicePath()},
                                               {QStringLiteral("port"), probe.port()}}},
         {QStringLiteral("imagePath"), request.imagePath},
         {QStringLiteral("dryRun"), request.options.dryRun},
         {QStringLiteral("skipIfRunning"), request.options.skipIfRunning},
         {QStringLiteral("verbose"), request.verbose},
         {QStringLiteral("record"), request.record},
         {QStringLiteral("inUseSkipped"), request.inUseSkipped},
         {QStringLiteral("update"), update}});
}

Request decodeRequest(const QByteArray& bytes) {
    const QJsonObject object = objectOf(bytes);
    if (object.value(QLatin1String("event")).toString() != u"request") {
        fail(QStringLiteral("not a session request"));
    }
    const QJsonObject probe = object.value(QLatin1String("probe")).toObject();
    Request request;
    request.probe = UsbDeviceInfo(quint16(probe.value(QLatin1String("vendorId")).toInt()),
                                  quint16(probe.value(QLatin1String("productId")).toInt()),
                                  probe.value(QLatin1String("serial")).toString(),
                                  probe.value(QLatin1String("devicePath")).toString(),
                                  probe.value(QLatin1String("port")).toString());
    request.imagePath = object.value(QLatin1String("imagePath")).toString();
    request.options.dryRun = object.value(QLatin1String("dryRun")).toBool();
    request.options.skipIfRunning = object.value(QLatin1String("skipIfRunning")).toBool();
    request.verbose = object.value(QLatin1String("verbose")).toBool();
    request.record = object.value(QLatin1String("record")).toBool();
    request.inUseSkipped = object.value(QLatin1String("inUseSkipped")).toBool();
    if (const QJsonValue update = object.value(QLatin1String("update")); update.isObject()) {
        Request::Update wanted;
        for (const auto& offer : update[QLatin1String("offers")].toArray()) {
            wanted.offers << offer.toString();
        }
        if (const QJsonValue variant = update[QLatin1String("variant")]; variant.isString()) {
            wanted.variant = variant.toString();
        }
        request.update = wanted;
    }
    return request;
}

QByteArray encodeRefusal(const QString& message) {
    return line({{QStringLiteral("event"), QStringLiteral("refused")},
                 {QStringLiteral("message"), message}});
}

QByteArray encodeRecorded(const QString& problem) {
    return line({{QStringLiteral("event"), QStringLiteral("recorded")},
                 {QStringLiteral("problem"), problem}});
}

std::optional<QString> recordedOf(const QByteArray& bytes) {
    const QJsonObject object = objectOf(bytes);
    if (object.value(QLatin1String("event")).toString() != u"recorded") {
        return std::nullopt;
    }
    return object.value(QLatin1String("problem")).toString();
}

void forward(SessionEvents& events, const std::function<void(const QByteArray&)>& write) {
    const auto event = [](const char* name, QJsonObject fields = {}) {
        fields.insert(QStringLiteral("event"), QLatin1String(name));
        return line(fields);
    };
    QObject::connect(
        &events, &SessionEvents::imageChosen, [=](const QString& path, const QString& sha256) {
            write(event("imageChosen",
                        {{QStringLiteral("path"), path}, {QStringLiteral("sha256"), sha256}}));
        });
    QObject::connect(&events, &SessionEvents::started, [=](const InstalledFirmware& before) {
        write(event("started", {{QStringLiteral("before"), firmwareObject(before)}}));
    });
    QObject::connect(&events, &SessionEvents::planned, [=](const PlanSummary& plan) {
        write(event("planned", {{QStringLiteral("plan"), planObject(plan)}}));
    });
    QObject::connect(&events, &SessionEvents::probeStateChanged, [=](ProbeState state) {
        write(event("probeState", {{QStringLiteral("state"), STATES.of(state)}}));
    });
    QObject::connect(
        &events, &SessionEvents::phaseStarted,
        [=](InstallPhase phase, qint64 total, const QString& text, const QString& units) {
            write(event("phase", {{QStringLiteral("phase"), phaseName(phase)},
                                  {QStringLiteral("total"), total},
                                  {QStringLiteral("text"), text},
                                  {QStringLiteral("units"), units}}));
        });
    QObject::connect(&events, &SessionEvents::progressed, [=](qint64 done) {
        write(event("progress", {{QStringLiteral("done"), done}}));
    });
    QObject::connect(&events, &SessionEvents::told, [=](SessionMessage message) {
        write(event("message", {{QStringLiteral("message"), MESSAGES.of(message)}}));
    });
    QObject::connect(&events, &SessionEvents::finished, [=](const SessionResult& result) {
        write(event("finished", {{QStringLiteral("result"), resultObject(result)}}));
    });
}

void replay(const QByteArray& bytes, SessionEvents& events) {
    const QJsonObject object = objectOf(bytes);
    const QString kind = object.value(QLatin1String("event")).toString();
    if (kind == u"imageChosen") {
        Q_EMIT events.imageChosen(object.value(QLatin1String("path")).toString(),
                                  object.value(QLatin1String("sha256")).toString());
    } else if (kind == u"started") {
        Q_EMIT events.started(firmwareFrom(object.value(QLatin1String("before")).toObject()));
    } else if (kind == u"planned") {
        Q_EMIT events.planned(planFrom(object.value(QLatin1String("plan")).toObject()));
    } else if (kind == u"probeState") {
        Q_EMIT events.probeStateChanged(
            valueFrom(STATES, object.value(QLatin1String("state")), "probe state"));
    } else if (kind == u"phase") {
        const std::optional<InstallPhase> phase =
            phaseFromName(object.value(QLatin1String("phase")).toString());
        if (!phase) {
            fail(QStringLiteral("unknown phase \"%1\"")
                     .arg(object.value(QLatin1String("phase")).toString()));
        }
        Q_EMIT events.phaseStarted(*phase, object.value(QLatin1String("total")).toInteger(),
                                   object.value(QLatin1String("text")).toString(),
                                   object.value(QLatin1String("units")).toString());
    } else if (kind == u"progress") {
        Q_EMIT events.progressed(object.value(QLatin1String("done")).toInteger());
    } else if (kind == u"message") {
        Q_EMIT events.told(valueFrom(MESSAGES, object.value(QLatin1String("message")), "message"));
    } else if (kind == u"finished") {
        Q_EMIT events.finished(resultFrom(object.value(QLatin1String("result")).toObject()));
    } else {
        fail(QStringLiteral("unknown session event \"%1\"").arg(kind));
    }
}

}  // namespace sessionwire
