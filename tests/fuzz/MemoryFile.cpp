#include "MemoryFile.h"

#include <cstdio>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

MemoryFile::MemoryFile() : fd(::memfd_create("kvtool-fuzz", MFD_CLOEXEC)) {
    if (fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    filePath = QStringLiteral("/proc/self/fd/%1").arg(fd);
}

MemoryFile::~MemoryFile() {
    ::close(fd);
}

void MemoryFile::set(QByteArrayView content) {
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, content.data(), size_t(content.size()), 0) != content.size()) {
        std::perror("memfd write");
        std::abort();
    }
}
