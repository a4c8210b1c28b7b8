#pragma once

#include <QJsonObject>
#include <QStringList>
#include <QtGlobal>

// What an install would send, as `install --dry-run` tells it: where the image goes, how
// many bytes, in how many transfers of what size, and the steps in order.
struct InstallPlan {
    quint32 address = 0;  // probe address of the first byte sent
    qint64 bytes = 0;     // bytes sent to the probe
    QString unit;         // "chunk" (generation 3) or "packet" (generation 2)
    int unitSize = 0;     // largest transfer, in bytes
    QStringList steps;    // one sentence each, in order

    // Transfers per pass over the bytes.
    qint64 count() const { return unitSize > 0 ? (bytes + unitSize - 1) / unitSize : 0; }
    // {"address", "bytes", "unit", "unitSize", "count", "steps"}.
    QJsonObject toJson() const;
};
