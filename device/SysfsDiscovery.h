#pragma once

#include "device/UsbDeviceList.h"

#include <QString>

// Discovery from the kernel's USB device tree. The kernel caches the descriptors it reads
// at enumeration, so a scan costs no USB traffic, needs no permissions and never disturbs
// a probe that another program is using.
class SysfsDiscovery {
public:
    static constexpr const char* DEFAULT_ROOT = "/sys/bus/usb/devices";

    // `root` is the directory whose entries are the USB devices (tests point it at a fake
    // tree); `deviceNodeRoot` is where the device nodes live.
    explicit SysfsDiscovery(const QString& root = QString::fromLatin1(DEFAULT_ROOT),
                            const QString& deviceNodeRoot = QStringLiteral("/dev/bus/usb"));

    // The devices in name order, at most ENUMERATION_BOUND of them. Interface entries and
    // entries whose uevent names no product are not devices and are passed over;
    // malformed ids give 0, a missing serial number an empty text, a missing bus number or
    // address an empty device path. Never throws.
    UsbDeviceList enumerate() const;

    // The device node of bus `bus`, address `address`: <deviceNodeRoot>/BBB/AAA.
    QString deviceNodePath(int bus, int address) const;

private:
    QString root;
    QString deviceNodeRoot;
};

// Parses one to four hexadecimal digits (either case); 0 for anything else.
quint16 parseUsbId(const QByteArray& text);
