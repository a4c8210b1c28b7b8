#include "gen2/KV2Variant.h"

namespace kv2 {

TargetFamily familyOf(quint16 flags) {
    const quint16 interpreted = flags & INTERPRETED_FLAGS;
    if (interpreted & FLAG_ALDER)
        return TargetFamily::Alder;
    if (interpreted & FLAG_BIRCH)
        return TargetFamily::Birch;
    return TargetFamily::Cedar;
}

JtagClocking clockingOf(quint16 flags) {
    return (flags & INTERPRETED_FLAGS & FLAG_VARIABLE_SPEED)
               ? JtagClocking::VariableSpeedAndAdaptive
               : JtagClocking::MaximumSpeed;
}

quint16 flagsOf(TargetFamily family, JtagClocking clocking) {
    quint16 flags = 0;
    if (family == TargetFamily::Alder)
        flags |= FLAG_ALDER;
    else if (family == TargetFamily::Birch)
        flags |= FLAG_BIRCH;
    if (clocking == JtagClocking::VariableSpeedAndAdaptive)
        flags |= FLAG_VARIABLE_SPEED;
    return flags;
}

QString familyName(TargetFamily family) {
    switch (family) {
        case TargetFamily::Alder:
            return QStringLiteral("Alder");
        case TargetFamily::Birch:
            return QStringLiteral("Birch");
        case TargetFamily::Cedar:
            break;
    }
    return QStringLiteral("Cedar");
}

QString clockingName(JtagClocking clocking) {
    if (clocking == JtagClocking::VariableSpeedAndAdaptive)
        return QStringLiteral("Variable Speed and Adaptive");
    return QStringLiteral("Maximum Speed");
}

QString variantText(quint16 flags) {
    return familyName(familyOf(flags)) + QStringLiteral(", ") + clockingName(clockingOf(flags));
}

QString versionText(quint16 major, quint16 minor) {
    return QString::number(major) + QLatin1Char('.') + QString::number(minor);
}

QString familyFilePart(TargetFamily family) {
    return familyName(family).toLower();
}

QString clockingFilePart(JtagClocking clocking) {
    return clocking == JtagClocking::VariableSpeedAndAdaptive ? QStringLiteral("var")
                                                              : QStringLiteral("max");
}

QString imageFileName(TargetFamily family, JtagClocking clocking) {
    return QStringLiteral("kv_") + familyFilePart(family) + QLatin1Char('_') +
           clockingFilePart(clocking) + QStringLiteral(".bin");
}

}  // namespace kv2
