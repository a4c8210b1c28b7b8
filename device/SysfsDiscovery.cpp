#include "device/SysfsDiscovery.h"

#include "device/UsbIds.h"

#include <QDir>
#include <QFile>

#include <cctype>

namespace {

// Attributes of interest are short; a longer read can only be junk.
constexpr qint64 MAX_ATTRIBUTE_BYTES = 256;

// The attribute's text without its trailing newline; empty when it cannot be read.
QByteArray readAttribute(const QString& directory, const char* name) {
    QFile file(directory + u'/' + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    QByteArray value = file.read(MAX_ATTRIBUTE_BYTES);
    while (!value.isEmpty() && (value.endsWith('\n') || value.endsWith('\0'))) {
        value.chop(1);
    }
    return value;
}

// A positive decimal number, or -1.
int parseDecimal(const QByteArray& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok && value > 0 ? value : -1;
}

}  // namespace

quint16 parseUsbId(const QByteArray& text) {
    if (text.size() != 4) {
        return 0;
    }
    // Checked digit by digit: the toolkit's conversion would also take a sign or "0x".
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return 0;
        }
    }
    return static_cast<quint16>(text.toUInt(nullptr, 16));
}

SysfsDiscovery::SysfsDiscovery(const QString& root, const QString& deviceNodeRoot)
    : root(root), deviceNodeRoot(deviceNodeRoot) {}

QString SysfsDiscovery::deviceNodePath(int bus, int address) const {
    return QStringLiteral("%1/%2/%3")
        .arg(deviceNodeRoot)
        .arg(bus, 3, 10, QLatin1Char('0'))
        .arg(address, 3, 10, QLatin1Char('0'));
}

UsbDeviceList SysfsDiscovery::enumerate() const {
    UsbDeviceList devices;
    const QDir directory(root);
    const QStringList entries =
        directory.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    int examined = 0;
    for (const QString& name : entries) {
        if (examined >= ENUMERATION_BOUND) {
            break;
        }
        // "1-1.4:1.0" and the like are interfaces of a device, not devices.
        if (name.contains(u':')) {
            continue;
        }
        const QString path = directory.filePath(name);
        const QByteArray vendor = readAttribute(path, "idVendor");
        if (vendor.isEmpty()) {
            continue;
        }
        ++examined;
        const int bus = parseDecimal(readAttribute(path, "busnum"));
        const int address = parseDecimal(readAttribute(path, "devnum"));
        const QString node = bus > 0 && address > 0 ? deviceNodePath(bus, address) : QString();
        devices.append(UsbDeviceInfo(parseUsbId(vendor),
                                     parseUsbId(readAttribute(path, "idProduct")),
                                     QString::fromUtf8(readAttribute(path, "serial")), node));
    }
    return devices;
}
