#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "platform/Files.h"

std::vector<uint8_t> readWholeFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) close(fd);
        std::cerr << "Failed to open file: " << path << std::endl;
        return {};
    }
    const auto length = static_cast<size_t>(st.st_size);
    std::vector<uint8_t> bytes(length);
    size_t got = 0;
    while (got < length) {
        const ssize_t n = read(fd, bytes.data() + got, length - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got != length) {
        close(fd);
        std::cerr << "Expected to read " << length << "b but only managed to read " << got
                  << "b of file: " << path << std::endl;
        return {};
    }
    if (close(fd) != 0) std::cerr << "[Warning] Failed to close file: " << path << " (proceeding anyways)" << std::endl;
    return bytes;
}

PathKind pathKind(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return PathKind::Missing;
    return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::Other;
}

bool makeDirectory(const std::string& path, unsigned mode) {
    const PathKind kind = pathKind(path);
    if (kind != PathKind::Missing) return kind == PathKind::Directory;
    return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || pathKind(path) == PathKind::Directory;
}
