#include "probe/ProbeLock.h"

#include "device/NodeHolders.h"
#include "device/ScopedFd.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr char DEFAULT_DIRECTORY[] = "/run/lock";
constexpr mode_t EVERYONE_READS_AND_WRITES = 0666;
// More than a process id and its line break take.
constexpr int PID_TEXT_BYTES = 32;

// The lock file, opened without following a link and without blocking on whatever stands
// in its place: the directory is writable by everyone. An existing file is opened as it is
// (a file of another user in a sticky directory may not be opened with O_CREAT); a missing
// one is created, readable and writable by all whatever the umask. Read-only when it is
// another user's and not writable (the lock works on any descriptor). -1 with errno set
// when there is none to be had.
int openLockFile(const QByteArray& path) {
    constexpr int FLAGS = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::open(path.constData(), O_RDWR | FLAGS);
        if (fd < 0 && errno == EACCES) {
            fd = ::open(path.constData(), O_RDONLY | FLAGS);
        }
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | FLAGS, EVERYONE_READS_AND_WRITES);
        if (fd >= 0) {
            ::fchmod(fd, EVERYONE_READS_AND_WRITES);
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
        // Another process created it in between: open the one it made.
    }
    return -1;
}

// The process id that the holder of the lock on `fd` wrote into the file, or 0.
qint64 holderPid(int fd) {
    char text[PID_TEXT_BYTES] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) {
        return 0;
    }
    const QByteArray line = QByteArray(text, qsizetype(n)).split('\n').value(0).trimmed();
    bool ok = false;
    const qint64 pid = line.toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

}  // namespace

QString ProbeLock::directory() {
    const QString configured = qEnvironmentVariable("KVTOOL_LOCK_DIR");
    return configured.isEmpty() ? QLatin1String(DEFAULT_DIRECTORY) : configured;
}

QString ProbeLock::filePath(const UsbDeviceInfo& probe) {
    // The port as the kernel names it ("1-2.3"); a probe without one by its device path.
    QString name = probe.port().isEmpty() ? probe.devicePath() : probe.port();
    for (QChar& c : name) {
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != u'-' && c != u'.') {
            c = u'_';
        }
    }
    return directory() + QStringLiteral("/kvtool-probe-") + name + QStringLiteral(".lock");
}

ProbeLock::ProbeLock(const UsbDeviceInfo& probe) {
    const QString path = filePath(probe);
    ScopedFd file(openLockFile(QFile::encodeName(path)));
    if (!file.valid()) {
        trouble = QStringLiteral("cannot open %1: %2").arg(path, qt_error_string(errno));
        return;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        trouble = QStringLiteral("%1 is not a regular file").arg(path);
        return;
    }
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            busy = true;
            const qint64 pid = holderPid(file.get());
            const QString holder = pid > 0
                                       ? describeHolders({NodeHolder{pid, processCommandName(pid)}})
                                       : QStringLiteral("another installer");
            message = QStringLiteral("probe %1 is in use by %2").arg(probe.serialNumber(), holder);
        } else {
            trouble = QStringLiteral("cannot lock %1: %2").arg(path, qt_error_string(error));
        }
        return;
    }
    fd = file.release();
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    // Written over the start, then cut: a reader sees the new id or the old one, never a mix
    // that parses as a third. A read-only descriptor writes nothing.
    if (::pwrite(fd, pid.constData(), size_t(pid.size()), 0) == pid.size()) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, pid.size());
    }
}

ProbeLock::~ProbeLock() {
    if (fd >= 0) {
        // No process id is left behind for the next reader to name.
        [[maybe_unused]] const int cleared = ::ftruncate(fd, 0);
        ::close(fd);
    }
}
