#include "device/SysfsDiscovery.h"

#include "device/ScopedFd.h"
#include "device/UsbIds.h"

#include <QFile>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Attributes of interest are short; a longer read can only be junk.
constexpr int MAX_ATTRIBUTE_BYTES = 256;

// The attribute at `path` below `directory`, without its trailing newline; empty when it
// cannot be read. Plain system calls relative to the tree's root: the main window scans
// once a second, and the reads are most of the scan's cost.
QByteArray readAttribute(int directory, const QByteArray& path) {
    const ScopedFd file(::openat(directory, path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file.valid()) {
        return QByteArray();
    }
    char buffer[MAX_ATTRIBUTE_BYTES];
    ssize_t length = -1;
    do {
        length = ::read(file.get(), buffer, sizeof buffer);
    } while (length < 0 && errno == EINTR);
    if (length <= 0) {
        return QByteArray();
    }
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\0')) {
        --length;
    }
    return QByteArray(buffer, static_cast<qsizetype>(length));
}

// A positive decimal number, or -1.
int parseDecimal(const QByteArray& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok && value > 0 ? value : -1;
}

// The names in `root` that may be devices, in byte order: "1-1.4:1.0" and the like are
// interfaces of a device, and dot entries are not devices either.
std::vector<QByteArray> candidateNames(const QByteArray& root) {
    std::vector<QByteArray> names;
    DIR* directory = ::opendir(root.constData());  // closed below on the one way out
    if (directory == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(directory)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith('.') && !name.contains(':')) {
            names.push_back(name);
        }
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

quint16 parseUsbId(const QByteArray& text) {
    // Checked digit by digit: the toolkit's conversion would also take a sign or "0x".
    const auto isDigit = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (text.isEmpty() || text.size() > 4 || !std::ranges::all_of(text, isDigit)) {
        return 0;
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

// One device costs two small reads: its uevent (vendor and product ids, bus number and
// address, all as the kernel read them at enumeration) and its serial number.
UsbDeviceList SysfsDiscovery::enumerate() const {
    UsbDeviceList devices;
    const QByteArray rootPath = QFile::encodeName(root);
    const ScopedFd rootFd(::open(rootPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.valid()) {
        return devices;
    }
    int examined = 0;
    for (const QByteArray& name : candidateNames(rootPath)) {
        if (examined >= ENUMERATION_BOUND) {
            break;
        }
        QByteArray product;
        int bus = -1;
        int address = -1;
        const QByteArray uevent = readAttribute(rootFd.get(), name + "/uevent");
        for (const QByteArray& line : uevent.split('\n')) {
            if (line.startsWith("PRODUCT=")) {
                product = line.mid(8);
            } else if (line.startsWith("BUSNUM=")) {
                bus = parseDecimal(line.mid(7));
            } else if (line.startsWith("DEVNUM=")) {
                address = parseDecimal(line.mid(7));
            }
        }
        if (product.isEmpty()) {
            continue;  // not a USB device
        }
        ++examined;
        // PRODUCT is "<vendor>/<product>/<release>" in hexadecimal without leading zeros.
        const QList<QByteArray> ids = product.split('/');
        const QString node = bus > 0 && address > 0 ? deviceNodePath(bus, address) : QString();
        devices.append(
            UsbDeviceInfo(parseUsbId(ids.value(0)), parseUsbId(ids.value(1)),
                          QString::fromUtf8(readAttribute(rootFd.get(), name + "/serial")), node,
                          QString::fromLatin1(name)));
    }
    return devices;
}
