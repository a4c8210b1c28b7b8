#include "device/UsbOpenError.h"

UsbOpenError::UsbOpenError(OpenRefusal refusal, const QString& deviceNode)
    : HException(refusal == OpenRefusal::Busy ? "device already in use"
                                              : "cannot open device driver"),
      kind(refusal),
      node(deviceNode) {}
