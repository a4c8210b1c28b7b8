#include "device/HDataLink.h"

#include "app/HException.h"
#include "device/UsbBackend.h"
#include "device/UsbDeviceInfo.h"
#include "device/UsbPipes.h"

HIOInterface::~HIOInterface() = default;

void HDataLink::setTimeout(int milliseconds) {
    timeoutMs = static_cast<quint32>(milliseconds);
}

std::unique_ptr<UsbPipes> HDataLink::openDevicePipes(const UsbDeviceInfo& device) {
    const qsizetype pathLength = device.devicePath().toLocal8Bit().size();
    if (pathLength + PIPE_SUFFIX_LENGTH >= PIPE_NAME_BUFFER) {
        throw UsbOpenError(OpenRefusal::Other);
    }
    std::unique_ptr<UsbPipes> pipes = usbBackend().open(device);
    if (!pipes) {
        throw UsbOpenError(OpenRefusal::Other);
    }
    return pipes;
}
