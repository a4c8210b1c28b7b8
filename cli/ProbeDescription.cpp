#include "cli/ProbeDescription.h"

#include "cli/JsonOutput.h"
#include "probe/ProbeKind.h"

namespace {

QString hexId(quint16 id) {
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

}  // namespace

QString unknownProbeMessage(const UsbDeviceInfo& probe) {
    return QStringLiteral("%1 is not a probe kvtool knows").arg(describeProbe(probe));
}

QString describeProbe(const UsbDeviceInfo& probe) {
    const ProbeKind kind = ProbeKind::of(probe.productId);
    const QString generation =
        kind.generation ? QStringLiteral("generation %1").arg(*kind.generation)
                        : QStringLiteral("unknown product id %1").arg(hexId(probe.productId));
    const QString serial = probe.serialNumber().isEmpty() ? QStringLiteral("(no serial number)")
                                                          : probe.serialNumber();
    return QStringLiteral("%1 (%2, %3, %4)").arg(serial, generation, kind.mode, probe.devicePath());
}

QJsonObject probeJson(const UsbDeviceInfo& probe) {
    const ProbeKind kind = ProbeKind::of(probe.productId);
    return QJsonObject{
        {QStringLiteral("serial"), probe.serialNumber()},
        {QStringLiteral("generation"), jsonNumber(kind.generation)},
        {QStringLiteral("mode"), kind.mode},
        {QStringLiteral("devicePath"), probe.devicePath()},
        {QStringLiteral("vendorId"), hexId(probe.vendorId)},
        {QStringLiteral("productId"), hexId(probe.productId)},
    };
}
