#include "emu/UsbFunction.h"

bool UsbFunction::clearHalt(quint8 endpoint, quint32 nowMs) {
    Q_UNUSED(nowMs);
    return endpoint == BULK_IN_ENDPOINT || endpoint == BULK_OUT_ENDPOINT;
}

quint32 UsbFunction::bulkOutDelay(quint32 nowMs) {
    Q_UNUSED(nowMs);
    return 0;
}
