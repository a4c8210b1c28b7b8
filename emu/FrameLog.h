#pragma once

#include "device/UsbPipes.h"
#include "emu/UsbFunction.h"

#include <QByteArray>
#include <QList>

#include <mutex>

// One transfer as the device saw it.
struct UsbFrame {
    enum class Direction { In, Out };
    enum class Kind { Bulk, Control };

    Direction direction = Direction::Out;
    Kind kind = Kind::Bulk;
    TransferResult::Status outcome = TransferResult::Completed;  // Failed: stalled/errored
    QByteArray bytes;      // data moved (IN: as the host received it; control: data stage)
    ControlRequest setup;  // control frames only
    quint32 timeMs = 0;    // project clock when the transfer ended
    quint32 startMs = 0;   // and when it began

    bool isBulkIn() const { return kind == Kind::Bulk && direction == Direction::In; }
    bool isBulkOut() const { return kind == Kind::Bulk && direction == Direction::Out; }
    bool isControl() const { return kind == Kind::Control; }
};

// The frames a device saw, in order, for tests to assert on. Thread-safe. A device that
// streams for long (a benchmark) can switch it off.
class FrameLog {
public:
    void append(UsbFrame frame);
    QList<UsbFrame> frames() const;
    // Only the frames of one kind and direction, in order.
    QList<UsbFrame> select(UsbFrame::Kind kind, UsbFrame::Direction direction) const;
    qsizetype size() const;
    void clear();
    void setEnabled(bool enabled);

private:
    mutable std::mutex mutex;
    QList<UsbFrame> log;
    bool logging = true;
};
