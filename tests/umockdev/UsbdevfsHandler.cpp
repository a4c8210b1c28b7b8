#include "UsbdevfsHandler.h"

#include "app/Clock.h"

#include <linux/ioctl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

constexpr int SETUP_PACKET_SIZE = 8;
constexpr quint8 DIRECTION_IN = 0x80;
// The configuration the device runs (the one its descriptors declare).
constexpr quint8 ACTIVE_CONFIGURATION = 1;

bool due(quint32 nowMs, quint32 dueMs) {
    return static_cast<qint32>(nowMs - dueMs) >= 0;
}

// The kernel's status for a transfer that ended in an error or a stall.
int urbStatus(TransferResult result) {
    switch (result.status) {
        case TransferResult::Completed:
            return 0;
        case TransferResult::TimedOut:
            return -ENOENT;
        case TransferResult::NotStarted:
        case TransferResult::Failed:
            break;
    }
    return -EPROTO;
}

}  // namespace

UsbdevfsHandler::UsbdevfsHandler(std::shared_ptr<EmulatedDevice> device)
    : device(std::move(device)), handler(umockdev_ioctl_base_new()) {
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(handleIoctl), this);
}

UsbdevfsHandler::~UsbdevfsHandler() {
    g_signal_handlers_disconnect_by_data(handler, this);
    const std::lock_guard lock(mutex);
    for (Urb& urb : inFlight) {
        release(urb);
    }
    for (Urb& urb : reapable) {
        release(urb);
    }
    if (connected) {
        device->disconnect(connection);
    }
    g_object_unref(handler);
}

void UsbdevfsHandler::release(Urb& entry) {
    umockdev_ioctl_data_unref(entry.buffer);
    umockdev_ioctl_data_unref(entry.data);
}

void UsbdevfsHandler::setAddress(int deviceAddress) {
    const std::lock_guard lock(mutex);
    address = deviceAddress;
}

void UsbdevfsHandler::setKernelDriver(const QString& name) {
    const std::lock_guard lock(mutex);
    driver = name;
}

QString UsbdevfsHandler::kernelDriver() const {
    const std::lock_guard lock(mutex);
    return driver;
}

UsbdevfsHandler::Counts UsbdevfsHandler::counts() const {
    const std::lock_guard lock(mutex);
    return tally;
}

int UsbdevfsHandler::urbsOutstanding() const {
    const std::lock_guard lock(mutex);
    return static_cast<int>(inFlight.size() + reapable.size());
}

int UsbdevfsHandler::handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    return static_cast<UsbdevfsHandler*>(self)->handle(client) ? TRUE : FALSE;
}

bool UsbdevfsHandler::handle(UMockdevIoctlClient* client) {
    const std::lock_guard lock(mutex);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    switch (umockdev_ioctl_client_get_request(client)) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps =
                umockdev_ioctl_data_resolve(argument, 0, sizeof(guint32), nullptr);
            *reinterpret_cast<guint32*>(caps->data) =
                USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                USBDEVFS_CAP_ZERO_PACKET;
            umockdev_ioctl_data_unref(caps);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_CONNECTINFO: {
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_connectinfo), nullptr);
            auto* info = reinterpret_cast<usbdevfs_connectinfo*>(data->data);
            info->devnum = static_cast<unsigned int>(address);
            info->slow = 0;  // full speed
            umockdev_ioctl_data_unref(data);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_GET_SPEED:
            umockdev_ioctl_client_complete(client, USB_SPEED_FULL, 0);
            return true;
        case USBDEVFS_CONTROL:
            return configurationRequest(client);
        case USBDEVFS_GETDRIVER: {
            if (driver.isEmpty()) {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
                return true;
            }
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_getdriver), nullptr);
            auto* request = reinterpret_cast<usbdevfs_getdriver*>(data->data);
            const QByteArray name = driver.toLatin1().left(USBDEVFS_MAXDRIVERNAME);
            std::memset(request->driver, 0, sizeof(request->driver));
            std::memcpy(request->driver, name.constData(), static_cast<size_t>(name.size()));
            umockdev_ioctl_data_unref(data);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_IOCTL:
            usbIoctl(client);
            return true;
        case USBDEVFS_CLAIMINTERFACE: {
            ++tally.claims;
            if (!driver.isEmpty()) {
                umockdev_ioctl_client_complete(client, -1, EBUSY);
                return true;
            }
            int opened = 0;
            switch (device->connect(opened)) {
                case OpenRefusal::None:
                    connection = opened;
                    connected = true;
                    umockdev_ioctl_client_complete(client, 0, 0);
                    break;
                case OpenRefusal::Busy:
                    umockdev_ioctl_client_complete(client, -1, EBUSY);
                    break;
                case OpenRefusal::Denied:
                case OpenRefusal::Other:
                    umockdev_ioctl_client_complete(client, -1, EACCES);
                    break;
            }
            return true;
        }
        case USBDEVFS_RELEASEINTERFACE:
            ++tally.releases;
            if (connected) {
                device->disconnect(connection);
                connected = false;
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        case USBDEVFS_CLEAR_HALT: {
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(argument, 0, sizeof(unsigned int), nullptr);
            const auto endpoint = static_cast<quint8>(*reinterpret_cast<unsigned int*>(data->data));
            umockdev_ioctl_data_unref(data);
            const bool cleared =
                connected &&
                device->control(connection, ControlRequest::clearHalt(endpoint), tickCountMs());
            umockdev_ioctl_client_complete(client, cleared ? 0 : -1, cleared ? 0 : EPIPE);
            return true;
        }
        case USBDEVFS_SUBMITURB:
            submit(client);
            return true;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client);
            return true;
        case USBDEVFS_DISCARDURB:
            discard(client);
            return true;
        case USBDEVFS_RESET:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        default:
            return false;  // ENOTTY: this emulation knows no such request
    }
}

bool UsbdevfsHandler::configurationRequest(UMockdevIoctlClient* client) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(usbdevfs_ctrltransfer), nullptr);
    const auto* request = reinterpret_cast<const usbdevfs_ctrltransfer*>(data->data);
    const bool known = request->bRequestType == USB_DIR_IN &&
                       request->bRequest == USB_REQ_GET_CONFIGURATION && request->wLength >= 1;
    if (known) {
        UMockdevIoctlData* answer =
            umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_ctrltransfer, data), 1, nullptr);
        *reinterpret_cast<quint8*>(answer->data) = ACTIVE_CONFIGURATION;
        umockdev_ioctl_data_unref(answer);
        umockdev_ioctl_client_complete(client, 1, 0);
    }
    umockdev_ioctl_data_unref(data);
    return known;  // any other request is not known to this emulation (ENOTTY)
}

void UsbdevfsHandler::usbIoctl(UMockdevIoctlClient* client) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(usbdevfs_ioctl), nullptr);
    const int code = reinterpret_cast<usbdevfs_ioctl*>(data->data)->ioctl_code;
    umockdev_ioctl_data_unref(data);
    if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        ++tally.detaches;
        if (driver.isEmpty()) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return;
        }
        detachedDriver = driver;
        driver.clear();
        umockdev_ioctl_client_complete(client, 0, 0);
    } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
        ++tally.reattaches;
        driver = detachedDriver;
        umockdev_ioctl_client_complete(client, 0, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
}

void UsbdevfsHandler::submit(UMockdevIoctlClient* client) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(usbdevfs_urb), nullptr);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
    if (buffer == nullptr || !connected) {
        if (buffer != nullptr) {
            umockdev_ioctl_data_unref(buffer);
        }
        umockdev_ioctl_data_unref(data);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    Urb entry{data, buffer, {}, false, 0, false};
    const quint32 now = tickCountMs();
    auto* bytes = reinterpret_cast<quint8*>(buffer->data);
    urb->actual_length = 0;

    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb->buffer_length < SETUP_PACKET_SIZE) {
            release(entry);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        ControlRequest request;
        request.requestType = bytes[0];
        request.request = bytes[1];
        request.value = quint16(bytes[2] | bytes[3] << 8);
        request.index = quint16(bytes[4] | bytes[5] << 8);
        const int length =
            std::min<int>(bytes[6] | bytes[7] << 8, urb->buffer_length - SETUP_PACKET_SIZE);
        bool accepted = false;
        if ((request.requestType & DIRECTION_IN) == 0) {
            request.data =
                QByteArray(reinterpret_cast<const char*>(bytes) + SETUP_PACKET_SIZE, length);
            accepted = device->control(connection, request, now);
        }
        urb->status = accepted ? 0 : -EPIPE;
        urb->actual_length = accepted ? length : 0;
        reapable.push_back(entry);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    if (urb->type != USBDEVFS_URB_TYPE_BULK) {
        release(entry);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    entry.isIn = (urb->endpoint & DIRECTION_IN) != 0;
    entry.transfer =
        entry.isIn ? device->beginIn(connection, now) : device->beginOut(connection, now);
    if (!entry.transfer.started) {
        release(entry);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    entry.never = entry.transfer.delayMs == UsbFunction::NEVER;
    entry.dueMs = now + (entry.never ? 0 : entry.transfer.delayMs);
    if (!entry.never && entry.transfer.delayMs == 0) {
        finish(entry, now);
        reapable.push_back(entry);
    } else {
        inFlight.push_back(entry);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbdevfsHandler::finish(Urb& entry, quint32 nowMs) {
    auto* urb = reinterpret_cast<usbdevfs_urb*>(entry.data->data);
    auto* bytes = reinterpret_cast<quint8*>(entry.buffer->data);
    const TransferResult result =
        entry.isIn ? device->finishIn(entry.transfer, bytes, urb->buffer_length, nowMs)
                   : device->finishOut(entry.transfer, bytes, urb->buffer_length, nowMs);
    urb->status = urbStatus(result);
    urb->actual_length = result.ok() ? result.count : 0;
}

void UsbdevfsHandler::reap(UMockdevIoctlClient* client) {
    const quint32 now = tickCountMs();
    for (auto it = inFlight.begin(); it != inFlight.end();) {
        if (!it->never && due(now, it->dueMs)) {
            finish(*it, now);
            reapable.splice(reapable.end(), inFlight, it++);
        } else {
            ++it;
        }
    }
    if (reapable.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    Urb entry = reapable.front();
    reapable.pop_front();
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                             0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, entry.data);
    umockdev_ioctl_data_unref(pointer);
    umockdev_ioctl_client_complete(client, 0, 0);
    release(entry);
}

void UsbdevfsHandler::discard(UMockdevIoctlClient* client) {
    const gulong address = *reinterpret_cast<gulong*>(umockdev_ioctl_client_get_arg(client)->data);
    for (auto it = inFlight.begin(); it != inFlight.end(); ++it) {
        if (it->data->client_addr == address) {
            ++tally.discards;
            device->cancel(it->transfer, tickCountMs());
            auto* urb = reinterpret_cast<usbdevfs_urb*>(it->data->data);
            urb->status = -ENOENT;
            urb->actual_length = 0;
            reapable.splice(reapable.end(), inFlight, it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}
