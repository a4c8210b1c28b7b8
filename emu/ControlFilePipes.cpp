#include "emu/ControlFilePipes.h"

TransferResult ControlFilePipes::read(quint8* buffer, int maxLength, quint32 timeoutMs) {
    look();
    return pipes->read(buffer, maxLength, timeoutMs);
}

TransferResult ControlFilePipes::write(const quint8* buffer, int length, quint32 timeoutMs) {
    look();
    return pipes->write(buffer, length, timeoutMs);
}

bool ControlFilePipes::resetPipe(quint8 flag) {
    look();
    return pipes->resetPipe(flag);
}

bool ControlFilePipes::vendorRequest(quint8 request, quint16 value, quint16 index,
                                     const QByteArray& payload) {
    look();
    return pipes->vendorRequest(request, value, index, payload);
}
