#pragma once

#include <QJsonObject>
#include <QString>

#include <memory>

// The --log file: a production record, one JSON line per probe, that a line may rely on.
// It is opened before anything is sent to a probe; each line is written whole with one
// write(2) on a descriptor opened for appending and synced to disk before it counts as
// written, so that several processes append to one file without mixing their lines and a
// crash leaves no half line; a line that cannot be written is reported, never passed over.
class ProductionLog {
public:
    // Opens `path` for appending, creating it when it is missing. Refuses, without waiting
    // for anything, what is not a regular file (a FIFO, a device such as /dev/full, a
    // directory). Throws CliFailure with the usage status 2: "--log: cannot use PATH: why".
    static std::unique_ptr<ProductionLog> open(const QString& path);
    // The log on `descriptor`, opened by the process that started this one (and closed with
    // this object).
    static std::unique_ptr<ProductionLog> adopt(int descriptor, const QString& path);
    ~ProductionLog();
    ProductionLog(const ProductionLog&) = delete;
    ProductionLog& operator=(const ProductionLog&) = delete;

    // Appends a probe's result, as the JSON output's "probes" hold it, with the time
    // ("time", UTC) in place of "ok". Returns an empty text once the line is on disk, else
    // why it is not (a line written in part is taken back when it is still the file's end).
    QString append(const QJsonObject& probeResult);

    // What is said on standard error when the record of `serial` was lost for `problem`.
    QString lostMessage(const QString& serial, const QString& problem) const;

    QString path() const { return name; }
    int descriptor() const { return fd; }

private:
    ProductionLog(int descriptor, const QString& path) : fd(descriptor), name(path) {}

    int fd;
    QString name;
};
