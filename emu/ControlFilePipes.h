#pragma once

#include "device/UsbPipes.h"

#include <functional>
#include <memory>

// The pipes of a device on a bus that follows a control file (KVTOOL_EMULATE=@FILE): before
// each operation `look` has the bus read the file again if it changed, so that a device
// taken out of the list is unplugged at once, in the middle of an install as between two,
// and the operation fails as on a real unplug.
class ControlFilePipes : public UsbPipes {
public:
    ControlFilePipes(std::unique_ptr<UsbPipes> pipes, std::function<void()> look)
        : pipes(std::move(pipes)), look(std::move(look)) {}

    TransferResult read(quint8* buffer, int maxLength, quint32 timeoutMs) override;
    TransferResult write(const quint8* buffer, int length, quint32 timeoutMs) override;
    bool resetPipe(quint8 flag) override;
    bool vendorRequest(quint8 request, quint16 value, quint16 index,
                       const QByteArray& payload) override;
    QString lastError() const override { return pipes->lastError(); }

private:
    std::unique_ptr<UsbPipes> pipes;
    std::function<void()> look;
};
