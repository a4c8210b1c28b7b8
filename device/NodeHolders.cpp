#include "device/NodeHolders.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char PROC[] = "/proc";

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether one of the open files of process `pid` is `file`.
bool holds(const QString& pid, const struct stat& file) {
    const QString fdDirectory = QStringLiteral("%1/%2/fd").arg(QLatin1String(PROC), pid);
    const QStringList descriptors = QDir(fdDirectory).entryList(QDir::Files | QDir::System);
    for (const QString& fd : descriptors) {
        // stat() follows the descriptor's link to the open file itself.
        struct stat open {};
        const QByteArray link = QFile::encodeName(fdDirectory + u'/' + fd);
        if (::stat(link.constData(), &open) == 0 && sameFile(open, file)) {
            return true;
        }
    }
    return false;
}

}  // namespace

QList<NodeHolder> processesHolding(const QString& path) {
    QList<NodeHolder> holders;
    struct stat file {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &file) != 0) {
        return holders;
    }
    const qint64 self = ::getpid();
    const QStringList entries =
        QDir(QLatin1String(PROC)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid == self || !holds(entry, file)) {
            continue;
        }
        holders << NodeHolder{pid, processCommandName(pid)};
    }
    std::sort(holders.begin(), holders.end(),
              [](const NodeHolder& a, const NodeHolder& b) { return a.pid < b.pid; });
    return holders;
}

QString describeHolders(const QList<NodeHolder>& holders) {
    QStringList parts;
    for (const NodeHolder& holder : holders) {
        parts << (holder.command.isEmpty()
                      ? QStringLiteral("PID %1").arg(holder.pid)
                      : QStringLiteral("PID %1 (%2)").arg(holder.pid).arg(holder.command));
    }
    return parts.join(QStringLiteral(", "));
}

QString processCommandName(qint64 pid) {
    QFile comm(QStringLiteral("%1/%2/comm").arg(QLatin1String(PROC)).arg(pid));
    if (!comm.open(QIODevice::ReadOnly)) {
        return QString();
    }
    return QString::fromLocal8Bit(comm.readAll().trimmed());
}
