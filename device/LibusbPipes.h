#pragma once

#include "device/ScopedFd.h"
#include "device/UsbBackend.h"
#include "device/UsbPipes.h"

#include <memory>

struct libusb_context;
struct libusb_device_handle;

// The pipes of one open probe on libusb-1.0: its usbfs device node opened by this object
// and handed to libusb, interface 0 claimed (a kernel driver bound to it is detached first
// and reattached on close), its first bulk IN and bulk OUT endpoints, synchronous
// transfers with time-outs, and the FTDI vendor requests as control OUT transfers.
// Opening the node itself, rather than looking the device up in libusb's own list, means
// that an open never waits for libusb to learn of a device that has just (re)appeared:
// the node that discovery named is enough. A transfer that times out is cancelled and
// reaped by libusb before read() or write() returns, so it can never complete into the
// caller's buffer. The pipe reset clears the halt of both bulk endpoints: that un-stalls
// them and resets the data toggles on both sides, which is what a fresh pipe needs after
// an earlier session ended mid-transfer; a full device reset would make the probe
// re-enumerate.
class LibusbPipes : public UsbPipes {
public:
    // How long a control request may take.
    static constexpr unsigned int CONTROL_TIMEOUT_MS = 5000;

    // Opens the device whose usbfs node is `node` ("/dev/bus/usb/001/007"). Throws "device
    // already in use" when claiming its interface answers busy (another program claimed
    // it), "cannot open device driver" for any other failure, as a UsbOpenError that says
    // which kind of refusal it was (a node this user may not open is Denied); `error` then
    // says why, for diagnostics ("open /dev/bus/usb/001/007: Permission denied (EACCES)",
    // "libusb_claim_interface: LIBUSB_ERROR_BUSY (...)").
    static std::unique_ptr<LibusbPipes> open(std::shared_ptr<libusb_context> context,
                                             const QString& node, QString& error);
    ~LibusbPipes() override;

    TransferResult read(quint8* buffer, int maxLength, quint32 timeoutMs) override;
    TransferResult write(const quint8* buffer, int length, quint32 timeoutMs) override;
    bool resetPipe(quint8 flag) override;
    bool vendorRequest(quint8 request, quint16 value, quint16 index,
                       const QByteArray& payload) override;
    QString lastError() const override { return error; }

private:
    LibusbPipes(std::shared_ptr<libusb_context> context, ScopedFd node,
                libusb_device_handle* handle);
    // Detaches a kernel driver, claims interface 0 and finds the endpoints; throws.
    void setUp(QString& error);
    TransferResult transfer(unsigned char endpoint, quint8* buffer, int length, quint32 timeoutMs);
    // Notes why `operation` failed (lastError) and returns `result`.
    template <typename Result>
    Result fail(const char* operation, int code, Result result);

    std::shared_ptr<libusb_context> context;
    // libusb never closes a descriptor it was handed: this one is closed after the handle
    // (members are destroyed after the destructor's body has closed it).
    ScopedFd node;
    libusb_device_handle* handle;
    bool kernelDriverDetached = false;
    bool claimed = false;
    unsigned char inEndpoint = 0;
    unsigned char outEndpoint = 0;
    QString error;
};

// "operation: LIBUSB_ERROR_X (text)" for diagnostics.
QString describeLibusbError(const char* operation, int code);
