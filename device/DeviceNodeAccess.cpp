#include "device/DeviceNodeAccess.h"

#include "device/PosixAcl.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t PERMISSION_BITS = 0777;

QString nameOfUser(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

QString nameOfGroup(gid_t gid) {
    const group* entry = ::getgrgid(gid);
    return entry != nullptr ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

bool memberOf(gid_t gid) {
    if (::getegid() == gid) {
        return true;
    }
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) {
        return false;
    }
    std::vector<gid_t> supplementary(static_cast<size_t>(count));
    const int filled = std::max(::getgroups(count, supplementary.data()), 0);
    return std::count(supplementary.begin(), supplementary.begin() + filled, gid) > 0;
}

}  // namespace

QString DeviceNodeAccess::modeText() const {
    static constexpr char LETTERS[] = "rwx";
    QString bits;
    for (int i = 8; i >= 0; --i) {
        bits += (mode & (1U << unsigned(i))) != 0 ? QLatin1Char(LETTERS[(8 - i) % 3])
                                                  : QLatin1Char('-');
    }
    return QStringLiteral("%1 (%2)").arg(mode, 4, 8, QLatin1Char('0')).arg(bits);
}

DeviceNodeAccess DeviceNodeAccess::check(const QString& path) {
    DeviceNodeAccess access;
    access.path = path;
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    if (::stat(name.constData(), &status) != 0) {
        access.error = errno;
        return access;
    }
    access.exists = true;
    access.mode = status.st_mode & PERMISSION_BITS;
    access.ownerName = nameOfUser(status.st_uid);
    access.groupName = nameOfGroup(status.st_gid);
    access.groupId = status.st_gid;
    access.userInGroup = memberOf(status.st_gid);

    const std::optional<PosixAcl> acl = PosixAcl::ofFile(name);
    access.hasAcl = acl.has_value();
    access.aclGrantsUser = acl && acl->grantsReadWrite(::geteuid());

    // Non-blocking, and never our controlling terminal: only whether it opens matters.
    const int fd = ::open(name.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        access.error = errno;
    } else {
        access.accessible = true;
        ::close(fd);
    }
    access.holders = processesHolding(path);
    return access;
}
