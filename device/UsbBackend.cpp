#include "device/UsbBackend.h"

#include "device/LinuxUsbBackend.h"

#include <utility>

namespace {

std::unique_ptr<UsbBackend>& current() {
    static std::unique_ptr<UsbBackend> backend;
    return backend;
}

}  // namespace

UsbBackend::~UsbBackend() = default;

UsbBackend& usbBackend() {
    std::unique_ptr<UsbBackend>& backend = current();
    if (!backend) {
        backend = std::make_unique<LinuxUsbBackend>();
    }
    return *backend;
}

std::unique_ptr<UsbBackend> installUsbBackend(std::unique_ptr<UsbBackend> backend) {
    return std::exchange(current(), std::move(backend));
}

ScopedUsbBackend::ScopedUsbBackend(std::unique_ptr<UsbBackend> backend)
    : previous(installUsbBackend(std::move(backend))) {}

ScopedUsbBackend::~ScopedUsbBackend() {
    installUsbBackend(std::move(previous));
}
