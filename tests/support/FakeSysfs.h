#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A throw-away directory laid out like /sys/bus/usb/devices, for discovery tests.
class FakeSysfs {
public:
    FakeSysfs();

    QString root() const { return dir.path(); }

    // A device entry: its uevent with the ids (hexadecimal texts, as in the kernel's
    // PRODUCT line), bus number and address, and its serial attribute; a null text leaves
    // that item out (without both ids the uevent names no product).
    void addDevice(const QString& name, const char* idVendor, const char* idProduct,
                   const char* serial, const char* busnum = "1", const char* devnum = "2");
    // An arbitrary file or directory below the root, for junk.
    void addFile(const QString& relativePath, const QByteArray& contents);
    void addDirectory(const QString& relativePath);

private:
    QTemporaryDir dir;
};
