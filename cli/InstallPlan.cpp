#include "cli/InstallPlan.h"

#include <QJsonArray>

QJsonObject InstallPlan::toJson() const {
    return QJsonObject{
        {QStringLiteral("address"), qint64(address)},
        {QStringLiteral("bytes"), bytes},
        {QStringLiteral("unit"), unit},
        {QStringLiteral("unitSize"), unitSize},
        {QStringLiteral("count"), count()},
        {QStringLiteral("steps"), QJsonArray::fromStringList(steps)},
    };
}
