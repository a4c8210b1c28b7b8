#include "UmockdevTestbed.h"

#include "UsbdevfsHandler.h"
#include "emu/UsbFunction.h"

#include <QFile>

#include <gtest/gtest.h>
#include <umockdev.h>

namespace {

// Descriptor types and sizes (USB 2.0, chapter 9).
constexpr char DEVICE_DESCRIPTOR = 0x01;
constexpr char CONFIGURATION_DESCRIPTOR = 0x02;
constexpr char INTERFACE_DESCRIPTOR = 0x04;
constexpr char ENDPOINT_DESCRIPTOR = 0x05;
constexpr char DEVICE_LENGTH = 18;
constexpr char CONFIGURATION_LENGTH = 9;
constexpr char INTERFACE_LENGTH = 9;
constexpr char ENDPOINT_LENGTH = 7;
constexpr char BULK = 0x02;
constexpr char VENDOR_CLASS = char(0xFF);
// The major number of usbfs device nodes.
constexpr int USB_DEVICE_MAJOR = 189;

void appendWord(QByteArray& bytes, quint16 value) {
    bytes += char(value & 0xFF);
    bytes += char(value >> 8);
}

QByteArray endpoint(quint8 address) {
    QByteArray bytes;
    bytes += ENDPOINT_LENGTH;
    bytes += ENDPOINT_DESCRIPTOR;
    bytes += char(address);
    bytes += BULK;
    appendWord(bytes, UsbFunction::MAX_PACKET_SIZE);
    bytes += char(0);  // bInterval
    return bytes;
}

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex().toUpper());
}

}  // namespace

QByteArray usbDescriptors(quint16 vendorId, quint16 productId) {
    QByteArray device;
    device += DEVICE_LENGTH;
    device += DEVICE_DESCRIPTOR;
    appendWord(device, 0x0200);     // USB 2.0
    device += QByteArray(3, '\0');  // class, subclass, protocol: per interface
    device += char(64);             // bMaxPacketSize0
    appendWord(device, vendorId);
    appendWord(device, productId);
    appendWord(device, 0x0100);  // bcdDevice
    device += char(1);           // iManufacturer
    device += char(2);           // iProduct
    device += char(3);           // iSerialNumber
    device += char(1);           // bNumConfigurations
    Q_ASSERT(device.size() == DEVICE_LENGTH);

    QByteArray interface;
    interface += INTERFACE_LENGTH;
    interface += INTERFACE_DESCRIPTOR;
    interface += char(0);  // bInterfaceNumber
    interface += char(0);  // bAlternateSetting
    interface += char(2);  // bNumEndpoints
    interface += VENDOR_CLASS;
    interface += VENDOR_CLASS;
    interface += VENDOR_CLASS;
    interface += char(2);  // iInterface
    const QByteArray endpoints =
        endpoint(UsbFunction::BULK_IN_ENDPOINT) + endpoint(UsbFunction::BULK_OUT_ENDPOINT);

    QByteArray configuration;
    configuration += CONFIGURATION_LENGTH;
    configuration += CONFIGURATION_DESCRIPTOR;
    appendWord(configuration, quint16(CONFIGURATION_LENGTH + interface.size() + endpoints.size()));
    configuration += char(1);     // bNumInterfaces
    configuration += char(1);     // bConfigurationValue
    configuration += char(0);     // iConfiguration
    configuration += char(0x80);  // bus-powered
    configuration += char(50);    // 100 mA
    return device + configuration + interface + endpoints;
}

UmockdevTestbed::UmockdevTestbed() : testbed(umockdev_testbed_new()) {
    if (testbed == nullptr) {
        ADD_FAILURE() << "umockdev_testbed_new failed";
    }
}

UmockdevTestbed::~UmockdevTestbed() {
    if (testbed == nullptr) {
        return;
    }
    for (const QString& node : attachedNodes) {
        umockdev_testbed_detach_ioctl(testbed, qPrintable(node), nullptr);
    }
    g_object_unref(testbed);
}

QString UmockdevTestbed::rootDirectory() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    QString path = QString::fromLocal8Bit(root);
    g_free(root);
    return path;
}

bool UmockdevTestbed::add(const QString& description) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, description.toUtf8().constData(), &error)) {
        ADD_FAILURE() << "umockdev_testbed_add_from_string: "
                      << (error != nullptr ? error->message : "failed");
        g_clear_error(&error);
        return false;
    }
    return true;
}

void UmockdevTestbed::addRootHub() {
    add(QStringLiteral("P: /devices/usb1\n"
                       "N: bus/usb/001/001\n"
                       "E: SUBSYSTEM=usb\n"
                       "E: DEVTYPE=usb_device\n"
                       "E: DRIVER=usb\n"
                       "E: BUSNUM=001\n"
                       "E: DEVNUM=001\n"
                       "E: DEVNAME=/dev/bus/usb/001/001\n"
                       "E: PRODUCT=1d6b/2/515\n"
                       "A: idVendor=1d6b\\n\n"
                       "A: idProduct=0002\\n\n"
                       "A: serial=0000:00:14.0\\n\n"
                       "A: busnum=1\\n\n"
                       "A: devnum=1\\n\n"
                       "A: bConfigurationValue=1\\n\n"
                       "A: speed=480\\n\n"
                       "A: dev=189:0\\n\n"
                       "H: descriptors=%1\n")
            .arg(hex(usbDescriptors(0x1D6B, 0x0002))));
}

namespace {

QString sysfsPath(const FakeUsbDevice& device) {
    return QStringLiteral("/sys/devices/usb%1/%2").arg(device.bus).arg(device.sysfsName);
}

QString deviceNode(const FakeUsbDevice& device) {
    return QStringLiteral("/dev/bus/usb/%1/%2")
        .arg(device.bus, 3, 10, QLatin1Char('0'))
        .arg(device.address, 3, 10, QLatin1Char('0'));
}

}  // namespace

void UmockdevTestbed::uevent(const FakeUsbDevice& device, const char* action) {
    umockdev_testbed_uevent(testbed, sysfsPath(device).toUtf8().constData(), action);
}

void UmockdevTestbed::removeUsbDevice(const FakeUsbDevice& device) {
    const QByteArray path = sysfsPath(device).toUtf8();
    umockdev_testbed_uevent(testbed, path.constData(), "remove");
    const QString node = deviceNode(device);
    if (attachedNodes.removeOne(node)) {
        umockdev_testbed_detach_ioctl(testbed, qPrintable(node), nullptr);
    }
    umockdev_testbed_remove_device(testbed, path.constData());
}

bool UmockdevTestbed::attach(const QString& node, UsbdevfsHandler* handler) {
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, qPrintable(node), handler->base(), &error)) {
        ADD_FAILURE() << "umockdev_testbed_attach_ioctl: "
                      << (error != nullptr ? error->message : "failed");
        g_clear_error(&error);
        return false;
    }
    attachedNodes.append(node);
    return true;
}

bool UmockdevTestbed::readdressSilently(FakeUsbDevice& device, int address,
                                        UsbdevfsHandler* handler) {
    const QString oldNode = deviceNode(device);
    if (attachedNodes.removeOne(oldNode)) {
        umockdev_testbed_detach_ioctl(testbed, qPrintable(oldNode), nullptr);
    }
    QFile::remove(rootDirectory() + oldNode);
    device.address = address;
    const QString node = deviceNode(device);
    handler->setAddress(address);
    if (!attach(node, handler)) {
        return false;
    }
    // The node's contents are what reading usbfs gives: the descriptors.
    QFile file(rootDirectory() + node);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(usbDescriptors(device.vendorId, device.productId)) < 0) {
        ADD_FAILURE() << "cannot write " << file.fileName().toStdString();
        return false;
    }
    // Property and attribute writes send no uevent.
    const QByteArray path = sysfsPath(device).toUtf8();
    const QByteArray number = QByteArray::number(address);
    umockdev_testbed_set_property(testbed, path.constData(), "DEVNUM",
                                  number.rightJustified(3, '0').constData());
    umockdev_testbed_set_property(testbed, path.constData(), "DEVNAME", qPrintable(node));
    umockdev_testbed_set_attribute(testbed, path.constData(), "devnum",
                                   QByteArray(number + "\n").constData());
    return true;
}

void UmockdevTestbed::restrictNode(const FakeUsbDevice& device) {
    const QString root = rootDirectory();
    const QString node = deviceNode(device);
    constexpr QFileDevice::Permissions reachable = QFileDevice::ReadOther | QFileDevice::ExeOther;
    EXPECT_TRUE(QFile::setPermissions(root, QFile::permissions(root) | reachable));
    EXPECT_TRUE(QFile::setPermissions(root + node, QFileDevice::Permissions()));
    // The preload connects to the node's socket before it opens the node.
    const QString socket = root + QStringLiteral("/ioctl") + node;
    EXPECT_TRUE(QFile::setPermissions(
        socket, QFile::permissions(socket) | QFileDevice::WriteOther | reachable));
}

bool UmockdevTestbed::addUsbDevice(const FakeUsbDevice& device, UsbdevfsHandler* handler) {
    const QString bus = QStringLiteral("%1").arg(device.bus, 3, 10, QLatin1Char('0'));
    const QString address = QStringLiteral("%1").arg(device.address, 3, 10, QLatin1Char('0'));
    const QString node = deviceNode(device);
    if (handler != nullptr) {
        handler->setAddress(device.address);
        if (!attach(node, handler)) {
            return false;
        }
    }
    const QByteArray descriptors = usbDescriptors(device.vendorId, device.productId);
    const int minor = (device.bus - 1) * 128 + device.address - 1;
    return add(QStringLiteral("P: /devices/usb%1/%2\n"
                              "N: bus/usb/%3/%4=%5\n"
                              "E: SUBSYSTEM=usb\n"
                              "E: DEVTYPE=usb_device\n"
                              "E: DRIVER=usb\n"
                              "E: BUSNUM=%3\n"
                              "E: DEVNUM=%4\n"
                              "E: DEVNAME=%6\n"
                              "E: PRODUCT=%10/%11/100\n"
                              "A: idVendor=%7\\n\n"
                              "A: idProduct=%8\\n\n"
                              "A: serial=%9\\n\n")
                   .arg(device.bus)
                   .arg(device.sysfsName, bus, address, hex(descriptors), node)
                   .arg(device.vendorId, 4, 16, QLatin1Char('0'))
                   .arg(device.productId, 4, 16, QLatin1Char('0'))
                   .arg(device.serialNumber)
                   .arg(device.vendorId, 0, 16)
                   .arg(device.productId, 0, 16) +
               QStringLiteral("A: busnum=%1\\n\n"
                              "A: devnum=%2\\n\n"
                              "A: bConfigurationValue=1\\n\n"
                              "A: speed=12\\n\n"
                              "A: dev=%3:%4\\n\n"
                              "H: descriptors=%5\n")
                   .arg(device.bus)
                   .arg(device.address)
                   .arg(USB_DEVICE_MAJOR)
                   .arg(minor)
                   .arg(hex(descriptors)));
}
