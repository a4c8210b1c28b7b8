#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A throw-away directory laid out like /sys/bus/usb/devices, for discovery tests.
class FakeSysfs {
public:
    FakeSysfs();

    QString root() const { return dir.path(); }

    // A device entry with the given attribute texts (written with the trailing newline
    // the kernel adds); a null text leaves that attribute out.
    void addDevice(const QString& name, const char* idVendor, const char* idProduct,
                   const char* serial, const char* busnum = "1", const char* devnum = "2");
    // An arbitrary file or directory below the root, for junk.
    void addFile(const QString& relativePath, const QByteArray& contents);
    void addDirectory(const QString& relativePath);

private:
    QTemporaryDir dir;
};
