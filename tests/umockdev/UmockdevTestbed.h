#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

typedef struct _UMockdevTestbed UMockdevTestbed;
class UsbdevfsHandler;

// A USB device as the fake sysfs and /dev/bus/usb show it.
struct FakeUsbDevice {
    QString sysfsName;  // "1-2"
    int bus = 1;
    int address = 2;
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString serialNumber;
};

// The standard descriptors of a full-speed device with one configuration whose interface
// 0 has a bulk IN and a bulk OUT endpoint (64-byte packets), as libusb reads them from the
// `descriptors` attribute: device descriptor, then the whole configuration.
QByteArray usbDescriptors(quint16 vendorId, quint16 productId);

// An umockdev testbed for the duration of a test: a throw-away sysfs and /dev under which
// the preloaded library redirects every access of this process (and of its children).
// Removing it (destructor) detaches the handlers and deletes the directory.
class UmockdevTestbed {
public:
    UmockdevTestbed();
    ~UmockdevTestbed();
    UmockdevTestbed(const UmockdevTestbed&) = delete;
    UmockdevTestbed& operator=(const UmockdevTestbed&) = delete;

    bool valid() const { return testbed != nullptr; }
    // The root hub of bus 1 (another vendor's device, never opened).
    void addRootHub();
    // Adds `device` below the root hub of its bus; when `handler` is given its device node
    // answers usbdevfs requests through it (attached before the device appears, so libusb
    // never sees a node without a handler). Returns false with a test failure on error.
    bool addUsbDevice(const FakeUsbDevice& device, UsbdevfsHandler* handler);
    // Takes `device` off the bus as unplugging does: a "remove" uevent, its handler
    // detached, its sysfs entry and device node gone.
    void removeUsbDevice(const FakeUsbDevice& device);
    // Moves `device` to `address` on its port as a restart does, but silently: its sysfs
    // entry names the new address and its node moves there (answered by `handler`), while
    // no uevent tells anyone, as for a process that hears no events (no udev in a
    // container, a listener that fell behind). Returns false with a test failure on error.
    bool readdressSilently(FakeUsbDevice& device, int address, UsbdevfsHandler* handler);
    // Makes `device`'s node one that only root may open (as without the udev rule's
    // access), while other users may still reach the testbed: its directory, and the
    // socket through which the preload hands the node's ioctls to this process.
    void restrictNode(const FakeUsbDevice& device);
    // Sends a uevent ("add", "change", "remove") for `device`, as the kernel would.
    void uevent(const FakeUsbDevice& device, const char* action);
    QString rootDirectory() const;

private:
    bool add(const QString& description);
    bool attach(const QString& node, UsbdevfsHandler* handler);

    UMockdevTestbed* testbed = nullptr;
    QStringList attachedNodes;
};
