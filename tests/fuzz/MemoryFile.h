#pragma once

#include <QByteArrayView>
#include <QString>

// A file in memory (memfd) that code under test opens by path like any regular file, so
// that a fuzz target can hand its input to file readers without touching the disk. One
// per process is enough: set() replaces the content for the next run.
class MemoryFile {
public:
    MemoryFile();
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    void set(QByteArrayView content);
    // "/proc/self/fd/<n>": opening it opens the file afresh, at offset 0.
    QString path() const { return filePath; }

private:
    int fd = -1;
    QString filePath;
};
