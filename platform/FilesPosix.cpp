#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "platform/Files.h"

std::vector<uint8_t> readWholeFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
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

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

BoundedRead readBounded(const std::string& path, uint64_t maxBytes, std::string& out) {
    out.clear();
    // Non-blocking open: a FIFO without a writer must not hang. Reads then
    // block again, so a writer already waiting (or a pipe) is read to its end.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return BoundedRead::OpenFailed;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return BoundedRead::OpenFailed;
    }
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > maxBytes) {
        close(fd);
        return BoundedRead::TooLarge;
    }
    BoundedRead result = BoundedRead::Done;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) result = BoundedRead::ReadFailed;
        if (n <= 0) break;
        if (out.size() + static_cast<size_t>(n) > maxBytes) {
            result = BoundedRead::TooLarge;
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (result != BoundedRead::Done) out.clear();
    return result;
}

bool fileStamp(const std::string& path, FileStamp& stamp) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    stamp.device = static_cast<uint64_t>(st.st_dev);
    stamp.inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

// An existing file is overwritten in place and then cut to length rather
// than truncated on opening: the result is the same, but a file system
// that flushes files replaced by truncation (ext4) would otherwise make
// every rerun into the same output directory wait for the disk.
FileWrite writeFileBytes(const std::string& path, const void* data, size_t bytes) {
    // Non-blocking, so that a FIFO without a reader cannot hang the run; a
    // FIFO (or socket) is refused like an unopenable file.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return FileWrite::OpenFailed;
    // Regular files ignore O_NONBLOCK; a device written to gets blocking
    // writes back.
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
        (!S_ISREG(st.st_mode) && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
        close(fd);
        return FileWrite::OpenFailed;
    }
    bool ok = true;
    const auto* p = static_cast<const char*>(data);
    size_t done = 0;
    while (ok && done < bytes) {
        const ssize_t n = write(fd, p + done, bytes - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    if (ok && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > bytes) {
        ok = ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    }
    // Some file systems report a failed write only when the file is closed.
    if (close(fd) != 0) ok = false;
    return ok ? FileWrite::Done : FileWrite::WriteFailed;
}

bool makeDirectory(const std::string& path, unsigned mode) {
    const PathKind kind = pathKind(path);
    if (kind != PathKind::Missing) return kind == PathKind::Directory;
    if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
    // Another process may have made it meanwhile; otherwise the caller
    // reports mkdir's own error, which the status query must not replace.
    const int err = errno;
    if (pathKind(path) == PathKind::Directory) return true;
    errno = err;
    return false;
}
