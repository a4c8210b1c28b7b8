#include "support/FakeSysfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FakeSysfs::FakeSysfs() = default;

void FakeSysfs::addDevice(const QString& name, const char* idVendor, const char* idProduct,
                          const char* serial, const char* busnum, const char* devnum) {
    addDirectory(name);
    // The kernel's uevent of a USB device; a missing id leaves the product line out.
    QByteArray uevent = "MAJOR=189\nDEVTYPE=usb_device\nDRIVER=usb\n";
    if (idVendor != nullptr && idProduct != nullptr) {
        uevent += QByteArray("PRODUCT=") + idVendor + '/' + idProduct + "/100\n";
    }
    if (busnum != nullptr) {
        uevent += QByteArray("BUSNUM=") + busnum + '\n';
    }
    if (devnum != nullptr) {
        uevent += QByteArray("DEVNUM=") + devnum + '\n';
    }
    addFile(name + QStringLiteral("/uevent"), uevent);
    if (serial != nullptr) {
        addFile(name + QStringLiteral("/serial"), QByteArray(serial) + '\n');
    }
}

void FakeSysfs::addFile(const QString& relativePath, const QByteArray& contents) {
    const QString path = dir.filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(contents);
    }
}

void FakeSysfs::addDirectory(const QString& relativePath) {
    QDir().mkpath(dir.filePath(relativePath));
}
