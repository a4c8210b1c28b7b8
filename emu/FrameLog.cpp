#include "emu/FrameLog.h"

void FrameLog::append(UsbFrame frame) {
    const std::lock_guard lock(mutex);
    if (logging) {
        log.append(std::move(frame));
    }
}

QList<UsbFrame> FrameLog::frames() const {
    const std::lock_guard lock(mutex);
    return log;
}

QList<UsbFrame> FrameLog::select(UsbFrame::Kind kind, UsbFrame::Direction direction) const {
    const std::lock_guard lock(mutex);
    QList<UsbFrame> selected;
    for (const UsbFrame& frame : log) {
        if (frame.kind == kind && frame.direction == direction) {
            selected.append(frame);
        }
    }
    return selected;
}

qsizetype FrameLog::size() const {
    const std::lock_guard lock(mutex);
    return log.size();
}

void FrameLog::clear() {
    const std::lock_guard lock(mutex);
    log.clear();
}

void FrameLog::setEnabled(bool enabled) {
    const std::lock_guard lock(mutex);
    logging = enabled;
}
