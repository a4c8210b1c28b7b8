#include "support/FakeSysfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FakeSysfs::FakeSysfs() = default;

void FakeSysfs::addDevice(const QString& name, const char* idVendor, const char* idProduct,
                          const char* serial, const char* busnum, const char* devnum) {
    addDirectory(name);
    const auto attribute = [&](const char* file, const char* value) {
        if (value != nullptr) {
            addFile(name + u'/' + QLatin1String(file), QByteArray(value) + '\n');
        }
    };
    attribute("idVendor", idVendor);
    attribute("idProduct", idProduct);
    attribute("serial", serial);
    attribute("busnum", busnum);
    attribute("devnum", devnum);
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
