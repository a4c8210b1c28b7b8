#include "device/LibusbPipes.h"

#include "app/HException.h"

#include <QFile>

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>

namespace {

constexpr int PROBE_INTERFACE = 0;
// bmRequestType of a vendor request: host to device, vendor, recipient device.
constexpr uint8_t VENDOR_OUT = static_cast<uint8_t>(LIBUSB_ENDPOINT_OUT) |
                               static_cast<uint8_t>(LIBUSB_REQUEST_TYPE_VENDOR) |
                               static_cast<uint8_t>(LIBUSB_RECIPIENT_DEVICE);
static_assert(VENDOR_OUT == 0x40);

void LIBUSB_CALL markCompleted(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

struct TransferDeleter {
    void operator()(libusb_transfer* transfer) const { libusb_free_transfer(transfer); }
};

struct ConfigDeleter {
    void operator()(libusb_config_descriptor* config) const {
        libusb_free_config_descriptor(config);
    }
};

[[noreturn]] void refuse(int code) {
    throw UsbOpenError(code == LIBUSB_ERROR_BUSY     ? OpenRefusal::Busy
                       : code == LIBUSB_ERROR_ACCESS ? OpenRefusal::Denied
                                                     : OpenRefusal::Other);
}

// "open /dev/bus/usb/001/007: Permission denied (EACCES)".
QString describeOpenError(const QString& node, int code) {
    const char* name = ::strerrorname_np(code);
    return QStringLiteral("open %1: %2 (%3)")
        .arg(node, qt_error_string(code),
             name != nullptr ? QLatin1String(name) : QStringLiteral("errno %1").arg(code));
}

// The usbfs node opened for reading and writing, as libusb itself would open it. A node
// that is gone (ENOENT, ENODEV) or any other failure is Other; EACCES and EPERM are what
// the node's permissions answer.
ScopedFd openNode(const QString& node, QString& error) {
    const QByteArray name = QFile::encodeName(node);
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int code = errno;
        error = describeOpenError(node, code);
        throw UsbOpenError(code == EACCES || code == EPERM ? OpenRefusal::Denied
                                                           : OpenRefusal::Other);
    }
    return ScopedFd(fd);
}

}  // namespace

QString describeLibusbError(const char* operation, int code) {
    return QStringLiteral("%1: %2 (%3)")
        .arg(QLatin1String(operation), QLatin1String(libusb_error_name(code)),
             QString::fromUtf8(libusb_strerror(code)));
}

LibusbPipes::LibusbPipes(std::shared_ptr<libusb_context> context, ScopedFd node,
                         libusb_device_handle* handle)
    : context(std::move(context)), node(std::move(node)), handle(handle) {}

LibusbPipes::~LibusbPipes() {
    if (claimed) {
        libusb_release_interface(handle, PROBE_INTERFACE);
    }
    if (kernelDriverDetached) {
        libusb_attach_kernel_driver(handle, PROBE_INTERFACE);
    }
    libusb_close(handle);
}

std::unique_ptr<LibusbPipes> LibusbPipes::open(std::shared_ptr<libusb_context> context,
                                               const QString& node, QString& error) {
    ScopedFd fd = openNode(node, error);
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_wrap_sys_device(context.get(), fd.get(), &handle);
    if (rc != LIBUSB_SUCCESS) {
        error = describeLibusbError("libusb_wrap_sys_device", rc);
        refuse(rc);
    }
    // From here on the pipes object owns the handle and the node and undoes every step on
    // any way out.
    std::unique_ptr<LibusbPipes> pipes(new LibusbPipes(std::move(context), std::move(fd), handle));
    pipes->setUp(error);
    return pipes;
}

void LibusbPipes::setUp(QString& openError) {
    int rc = libusb_kernel_driver_active(handle, PROBE_INTERFACE);
    if (rc == 1) {
        rc = libusb_detach_kernel_driver(handle, PROBE_INTERFACE);
        if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_NOT_FOUND) {
            openError = describeLibusbError("libusb_detach_kernel_driver", rc);
            refuse(rc);
        }
        kernelDriverDetached = rc == LIBUSB_SUCCESS;
    }
    rc = libusb_claim_interface(handle, PROBE_INTERFACE);
    if (rc != LIBUSB_SUCCESS) {
        openError = describeLibusbError("libusb_claim_interface", rc);
        refuse(rc);
    }
    claimed = true;

    libusb_config_descriptor* rawConfig = nullptr;
    rc = libusb_get_active_config_descriptor(libusb_get_device(handle), &rawConfig);
    if (rc != LIBUSB_SUCCESS) {
        openError = describeLibusbError("libusb_get_active_config_descriptor", rc);
        throw UsbOpenError(OpenRefusal::Other);
    }
    const std::unique_ptr<libusb_config_descriptor, ConfigDeleter> config(rawConfig);
    if (config->bNumInterfaces > PROBE_INTERFACE &&
        config->interface[PROBE_INTERFACE].num_altsetting > 0) {
        const libusb_interface_descriptor& setting =
            config->interface[PROBE_INTERFACE].altsetting[0];
        for (int i = 0; i < setting.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[i];
            if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
                continue;
            }
            const bool in =
                (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
            unsigned char& slot = in ? inEndpoint : outEndpoint;
            if (slot == 0) {
                slot = endpoint.bEndpointAddress;
            }
        }
    }
    if (inEndpoint == 0 || outEndpoint == 0) {
        openError = QStringLiteral("interface %1 has no bulk IN and bulk OUT endpoints")
                        .arg(PROBE_INTERFACE);
        throw UsbOpenError(OpenRefusal::Other);
    }
}

template <typename Result>
Result LibusbPipes::fail(const char* operation, int code, Result result) {
    error = describeLibusbError(operation, code);
    return result;
}

TransferResult LibusbPipes::transfer(unsigned char endpoint, quint8* buffer, int length,
                                     quint32 timeoutMs) {
    if (length < 0) {
        return fail("transfer", LIBUSB_ERROR_INVALID_PARAM, TransferResult::notStarted());
    }
    const std::unique_ptr<libusb_transfer, TransferDeleter> transfer(libusb_alloc_transfer(0));
    if (!transfer) {
        return fail("libusb_alloc_transfer", LIBUSB_ERROR_NO_MEM, TransferResult::notStarted());
    }
    int completed = 0;
    // libusb reads a time-out of 0 as "wait for ever".
    const unsigned int timeout =
        static_cast<unsigned int>(std::clamp<quint32>(timeoutMs, 1, UINT_MAX));
    libusb_fill_bulk_transfer(transfer.get(), handle, endpoint, buffer, length, markCompleted,
                              &completed, timeout);
    int rc = libusb_submit_transfer(transfer.get());
    if (rc != LIBUSB_SUCCESS) {
        return fail("libusb_submit_transfer", rc, TransferResult::notStarted());
    }
    // Runs until the transfer has come back, whatever happens: libusb then no longer
    // touches `buffer`, and the transfer can be freed.
    while (completed == 0) {
        rc = libusb_handle_events_completed(context.get(), &completed);
        if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_INTERRUPTED) {
            libusb_cancel_transfer(transfer.get());
        }
    }
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return TransferResult::completed(std::clamp(transfer->actual_length, 0, length));
        case LIBUSB_TRANSFER_TIMED_OUT:
            return fail("bulk transfer", LIBUSB_ERROR_TIMEOUT, TransferResult::timedOut());
        case LIBUSB_TRANSFER_STALL:
            return fail("bulk transfer", LIBUSB_ERROR_PIPE, TransferResult::failed());
        case LIBUSB_TRANSFER_NO_DEVICE:
            return fail("bulk transfer", LIBUSB_ERROR_NO_DEVICE, TransferResult::failed());
        case LIBUSB_TRANSFER_OVERFLOW:
            return fail("bulk transfer", LIBUSB_ERROR_OVERFLOW, TransferResult::failed());
        default:
            return fail("bulk transfer", LIBUSB_ERROR_IO, TransferResult::failed());
    }
}

TransferResult LibusbPipes::read(quint8* buffer, int maxLength, quint32 timeoutMs) {
    return transfer(inEndpoint, buffer, maxLength, timeoutMs);
}

TransferResult LibusbPipes::write(const quint8* buffer, int length, quint32 timeoutMs) {
    // An OUT transfer only reads its buffer.
    return transfer(outEndpoint, const_cast<quint8*>(buffer), length, timeoutMs);
}

bool LibusbPipes::resetPipe(quint8 flag) {
    Q_UNUSED(flag);  // libusb has no driver flag to set; the halt is cleared either way
    for (const unsigned char endpoint : {inEndpoint, outEndpoint}) {
        const int rc = libusb_clear_halt(handle, endpoint);
        if (rc != LIBUSB_SUCCESS) {
            return fail("libusb_clear_halt", rc, false);
        }
    }
    return true;
}

bool LibusbPipes::vendorRequest(quint8 request, quint16 value, quint16 index,
                                const QByteArray& payload) {
    if (payload.size() > 0xFFFF) {
        return fail("libusb_control_transfer", LIBUSB_ERROR_INVALID_PARAM, false);
    }
    // Control OUT transfers only read their data.
    auto* data = reinterpret_cast<unsigned char*>(const_cast<char*>(payload.constData()));
    const int rc = libusb_control_transfer(
        handle, VENDOR_OUT, request, value, index, payload.isEmpty() ? nullptr : data,
        static_cast<uint16_t>(payload.size()), CONTROL_TIMEOUT_MS);
    if (rc < 0) {
        return fail("libusb_control_transfer", rc, false);
    }
    if (rc != payload.size()) {
        error = QStringLiteral("libusb_control_transfer: %1 of %2 bytes sent")
                    .arg(rc)
                    .arg(payload.size());
        return false;
    }
    return true;
}
