#include "cli/ProductionLog.h"

#include "cli/CliFailure.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

[[noreturn]] void refuse(const QString& path, const QString& why) {
    throw CliFailure(ExitCode::Usage, QStringLiteral("--log: cannot use %1: %2").arg(path, why));
}

}  // namespace

std::unique_ptr<ProductionLog> ProductionLog::open(const QString& path) {
    // O_NONBLOCK: a FIFO without a reader is refused at once (ENXIO) instead of waiting
    // for one, and one with a reader is refused below as any other file that is not a
    // regular one.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        refuse(path,
               errno == ENXIO ? QStringLiteral("not a regular file") : qt_error_string(errno));
    }
    std::unique_ptr<ProductionLog> log(new ProductionLog(fd, path));
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        refuse(path, qt_error_string(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        refuse(path, QStringLiteral("not a regular file"));
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    return log;
}

std::unique_ptr<ProductionLog> ProductionLog::adopt(int descriptor, const QString& path) {
    return std::unique_ptr<ProductionLog>(new ProductionLog(descriptor, path));
}

ProductionLog::~ProductionLog() {
    ::close(fd);
}

QString ProductionLog::append(const QJsonObject& probeResult) {
    QJsonObject record = probeResult;
    record.remove(QLatin1String("ok"));
    record.insert(QStringLiteral("time"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    ssize_t written = 0;
    do {
        written = ::write(fd, line.constData(), size_t(line.size()));
    } while (written < 0 && errno == EINTR);
    if (written != line.size()) {
        if (written < 0) {
            return qt_error_string(errno);
        }
        // Appending leaves the offset at the end of what went in: that part is taken back
        // as long as nothing was appended behind it.
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        struct stat status {};
        if (end >= written && ::fstat(fd, &status) == 0 && status.st_size == end) {
            [[maybe_unused]] const int cut = ::ftruncate(fd, end - written);
        }
        return QStringLiteral("only %1 of its %2 bytes could be written")
            .arg(written)
            .arg(line.size());
    }
    if (::fsync(fd) != 0) {
        return qt_error_string(errno);
    }
    return QString();
}

QString ProductionLog::lostMessage(const QString& serial, const QString& problem) const {
    return QStringLiteral("kvtool-cli: %1: record not written to %2: %3")
        .arg(serial, name, problem);
}
