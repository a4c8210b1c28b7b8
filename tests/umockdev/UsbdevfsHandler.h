#pragma once

#include "emu/EmulatedDevice.h"

#include <QString>

#include <list>
#include <memory>
#include <mutex>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

// Answers the usbdevfs requests that libusb sends to one fake device node by passing the
// traffic to an emulated device, so the device models (and their transport faults and
// frame log) serve these tests exactly as they serve the in-process emulated bus.
//
// Claiming interface 0 connects to the device (open refusals answer EBUSY or EACCES);
// bulk URBs become the device's IN and OUT transfers, control OUT URBs its control
// requests, CLEAR_HALT its pipe reset; CONNECTINFO, GET_SPEED and GET_CONFIGURATION answer
// as the kernel would for a full-speed device in its one configuration. A transfer the device takes
// time over stays in flight until that much real time has passed (the next reap completes it) or
// until libusb discards it after its time-out. Runs on umockdev's worker thread.
class UsbdevfsHandler {
public:
    explicit UsbdevfsHandler(std::shared_ptr<EmulatedDevice> device);
    ~UsbdevfsHandler();
    UsbdevfsHandler(const UsbdevfsHandler&) = delete;
    UsbdevfsHandler& operator=(const UsbdevfsHandler&) = delete;

    UMockdevIoctlBase* base() const { return handler; }

    // The address the device node stands for, as CONNECTINFO reports it (libusb asks when
    // it is handed an open node whose path it cannot read the address from).
    void setAddress(int address);

    // A kernel driver bound to interface 0 (empty: none); claiming fails with EBUSY
    // until it is detached.
    void setKernelDriver(const QString& name);
    QString kernelDriver() const;

    struct Counts {
        int claims = 0;
        int releases = 0;
        int discards = 0;
        int detaches = 0;
        int reattaches = 0;
    };
    Counts counts() const;
    // URBs submitted and not yet reaped.
    int urbsOutstanding() const;

private:
    struct Urb {
        UMockdevIoctlData* data;    // the struct usbdevfs_urb (our reference)
        UMockdevIoctlData* buffer;  // its buffer (our reference)
        EmulatedDevice::Transfer transfer;
        bool isIn = false;
        quint32 dueMs = 0;  // when the device completes it
        bool never = false;
    };

    static int handleIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
    bool handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client);
    void discard(UMockdevIoctlClient* client);
    // A synchronous control request: GET_CONFIGURATION, which libusb asks of a node it is
    // handed; false for any other.
    bool configurationRequest(UMockdevIoctlClient* client);
    void usbIoctl(UMockdevIoctlClient* client);
    void finish(Urb& entry, quint32 nowMs);
    static void release(Urb& entry);

    std::shared_ptr<EmulatedDevice> device;
    UMockdevIoctlBase* handler;
    mutable std::mutex mutex;
    int address = 0;
    int connection = 0;
    bool connected = false;
    QString driver;
    QString detachedDriver;
    Counts tally;
    std::list<Urb> inFlight;
    std::list<Urb> reapable;
};
