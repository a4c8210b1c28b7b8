// Discovery over a device tree whose entries and attribute contents come from the input:
// names with and without ':' or a leading dot, uevent and serial files of any bytes and
// length, attributes that are missing, directories or symbolic links. Whatever the tree
// holds, discovery never throws, lists exactly the device entries whose uevent (as far as
// it reads it) names a product, in name order, with the serial number as the file holds
// it, and forms device paths only from a bus number and an address.
#include "FuzzCheck.h"
#include "FuzzInput.h"

#include "device/SysfsDiscovery.h"
#include "device/UsbIds.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <map>

namespace {

constexpr int MAX_ENTRIES = 8;
constexpr int MAX_NAME = 10;
constexpr int MAX_CONTENT = 300;
// Discovery reads this much of an attribute (longer ones can only be junk).
constexpr int ATTRIBUTE_READ = 256;
constexpr char NAME_ALPHABET[] = "0123456789-.:ab";

enum class Attribute { File, Missing, Directory, Link, KINDS };

struct Entry {
    QByteArray uevent;  // null unless a regular file
    QByteArray serial;
};

// Writes one attribute as the input says; returns its content when it is a regular file.
QByteArray writeAttribute(FuzzInput& input, const QString& path) {
    switch (Attribute(input.byte() % int(Attribute::KINDS))) {
        case Attribute::File: {
            const QByteArray content = input.bytes(input.inRange(0, MAX_CONTENT));
            QFile file(path);
            if (file.open(QIODevice::WriteOnly)) {
                file.write(content);
            }
            return content.isNull() ? QByteArray("") : content;
        }
        case Attribute::Directory:
            QDir().mkpath(path);
            break;
        case Attribute::Link:
            QFile::link(QStringLiteral("elsewhere"), path);
            break;
        case Attribute::Missing:
        case Attribute::KINDS:
            break;
    }
    return QByteArray();
}

// An attribute as discovery reads it: the first bytes, without trailing newlines and NULs.
QByteArray asRead(const QByteArray& content) {
    QByteArray text = content.left(ATTRIBUTE_READ);
    while (text.endsWith('\n') || text.endsWith('\0')) {
        text.chop(1);
    }
    return text;
}

bool namesProduct(const QByteArray& uevent) {
    QByteArray product;
    for (const QByteArray& line : asRead(uevent).split('\n')) {
        if (line.startsWith("PRODUCT=")) {
            product = line.mid(8);
        }
    }
    return !product.isEmpty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // In memory where there is a tmpfs for it: the tree is written afresh for every input.
    static QTemporaryDir tree(QDir(QStringLiteral("/dev/shm")).exists()
                                  ? QStringLiteral("/dev/shm/kvtool-fuzz-XXXXXX")
                                  : QDir::tempPath() + QStringLiteral("/kvtool-fuzz-XXXXXX"));
    FUZZ_CHECK(tree.isValid());
    for (const auto& entry : std::filesystem::directory_iterator(tree.path().toStdString())) {
        std::filesystem::remove_all(entry.path());
    }

    FuzzInput input(data, size);
    std::map<QByteArray, Entry> entries;
    const int count = input.byte() % (MAX_ENTRIES + 1);
    for (int n = 0; n < count; ++n) {
        QByteArray name;
        const int length = input.byte() % MAX_NAME + 1;
        for (int i = 0; i < length; ++i) {
            name += NAME_ALPHABET[input.byte() % (sizeof NAME_ALPHABET - 1)];
        }
        if (name == "." || name == "..") {
            name.prepend('x');
        }
        // A name met again starts afresh. (Not QTemporaryDir::filePath: it takes a name
        // that starts with ':' for an absolute resource path and answers an empty path,
        // which QDir takes for the working directory.)
        const QString directory = tree.path() + u'/' + QString::fromLatin1(name);
        FUZZ_CHECK(QFileInfo(directory).dir().absolutePath() == tree.path());
        QDir(directory).removeRecursively();
        QDir().mkpath(directory);
        Entry& entry = entries[name];
        entry.uevent = writeAttribute(input, directory + QStringLiteral("/uevent"));
        entry.serial = writeAttribute(input, directory + QStringLiteral("/serial"));
    }

    const SysfsDiscovery discovery(tree.path(), QStringLiteral("/nodes"));
    const UsbDeviceList devices = discovery.enumerate();
    FUZZ_CHECK(discovery.enumerate() == devices);

    // The entries that are devices, in name order (std::map orders bytes as discovery does).
    QList<const Entry*> expected;
    for (const auto& [name, entry] : entries) {
        if (!name.startsWith('.') && !name.contains(':') && !entry.uevent.isNull() &&
            namesProduct(entry.uevent)) {
            expected << &entry;
        }
    }
    FUZZ_CHECK(devices.size() == std::min<qsizetype>(expected.size(), ENUMERATION_BOUND));
    static const QRegularExpression nodePath(QStringLiteral("^/nodes/\\d{3,}/\\d{3,}$"));
    for (qsizetype n = 0; n < devices.size(); ++n) {
        const UsbDeviceInfo& device = devices[n];
        FUZZ_CHECK(device.serialNumber() == QString::fromUtf8(asRead(expected[n]->serial)));
        FUZZ_CHECK(device.devicePath().isEmpty() || nodePath.match(device.devicePath()).hasMatch());
    }
    return 0;
}
