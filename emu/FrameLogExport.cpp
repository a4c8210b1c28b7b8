#include "emu/FrameLogExport.h"

#include "emu/EmulatedDevice.h"

#include <QFile>

namespace {

QLatin1String kindName(const UsbFrame& frame) {
    if (frame.isControl()) {
        return QLatin1String("control-out");
    }
    return QLatin1String(frame.isBulkIn() ? "bulk-in" : "bulk-out");
}

QLatin1String outcomeName(TransferResult::Status outcome) {
    switch (outcome) {
        case TransferResult::Completed:
            return QLatin1String("completed");
        case TransferResult::TimedOut:
            return QLatin1String("timed-out");
        case TransferResult::NotStarted:
            return QLatin1String("not-started");
        case TransferResult::Failed:
            break;
    }
    return QLatin1String("failed");
}

}  // namespace

QString frameLogLine(int device, const QString& serial, const UsbFrame& frame) {
    QString line = QStringLiteral("%1 %2 %3 %4 %5 %6")
                       .arg(device)
                       .arg(serial.isEmpty() ? QStringLiteral("-") : serial)
                       .arg(kindName(frame), outcomeName(frame.outcome))
                       .arg(frame.timeMs)
                       .arg(frame.bytes.isEmpty() ? QByteArray("-") : frame.bytes.toHex());
    if (frame.isControl()) {
        line += QStringLiteral(" %1.%2.%3.%4")
                    .arg(frame.setup.requestType, 2, 16, QLatin1Char('0'))
                    .arg(frame.setup.request, 2, 16, QLatin1Char('0'))
                    .arg(frame.setup.value, 4, 16, QLatin1Char('0'))
                    .arg(frame.setup.index, 4, 16, QLatin1Char('0'));
    }
    return line;
}

bool appendFrameLogs(const QString& path,
                     const std::vector<std::shared_ptr<EmulatedDevice>>& devices,
                     QString& problem) {
    QFile file(path);
    // Unbuffered, the whole export in one write: processes that share the file (the session
    // processes of an install on several probes) append their frames without mixing lines.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        problem = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    QByteArray text;
    int number = 0;
    for (const std::shared_ptr<EmulatedDevice>& device : devices) {
        ++number;
        const QString serial = device->serialNumber();
        for (const UsbFrame& frame : device->frameLog().frames()) {
            text += (frameLogLine(number, serial, frame) + u'\n').toUtf8();
        }
    }
    if (file.write(text) != text.size() || file.error() != QFileDevice::NoError) {
        problem = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
