#include "FileReplace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vexart {
namespace {

// A save's temporary is ".<base>" + this infix + six characters that
// mkstemp picks: the infix tells it from a user's ".<base>.sha256".
constexpr const char* kTemporaryInfix = ".vexa-partial-";

std::string folderOf(const std::string& target) {
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
}

// What a killed save of <base> leaves: only a save's own name, never
// another file beside the target. Only this process's lock holder writes
// such files, so any found now is stale.
void removeStaleTemporaries(const std::string& dir, const std::string& base) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    const std::string prefix = "." + base + kTemporaryInfix;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        bool pattern = true;
        for (size_t i = prefix.size(); i < name.size(); ++i) {
            const char c = name[i];
            pattern = pattern && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
        }
        struct stat st {};
        const std::string path = dir + "/" + name;
        if (pattern && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()) {
            unlink(path.c_str());
        }
    }
    closedir(d);
}

}  // namespace

FileUpdateLock::FileUpdateLock(const std::string& path) {
    const std::string dir = folderOf(resolvedPath(path));
    fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot lock " + dir + ": " + std::strerror(errno));
    while (flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        close(fd_);
        throw std::runtime_error("cannot lock " + dir + ": " + std::strerror(err));
    }
}

FileUpdateLock::~FileUpdateLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
}

std::string resolvedPath(const std::string& path) {
    std::string target = path;
    if (char* real = realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    return target;
}

namespace {

FileVersion versionOf(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

bool fileVersion(const std::string& path, FileVersion& version) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    version = versionOf(st);
    return true;
}

bool fileVersion(int fd, FileVersion& version) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    version = versionOf(st);
    return true;
}

void replaceFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    const std::string target = resolvedPath(path);
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) throw std::runtime_error("cannot write " + path + ": not a regular file");
    const std::string dir = folderOf(target);
    const size_t slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    removeStaleTemporaries(dir, base);
    std::string tmp = dir + "/." + base + kTemporaryInfix + "XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    auto fail = [&](const std::string& why) {
        unlink(tmp.c_str());
        throw std::runtime_error("cannot write " + path + ": " + why);
    };
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = errno;
            close(fd);
            fail(std::strerror(n < 0 ? err : ENOSPC));
        }
        done += static_cast<size_t>(n);
    }
    mode_t mode = 0;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    const bool ok = fchmod(fd, mode) == 0 && fsync(fd) == 0;
    const int err = errno;
    if (close(fd) != 0 || !ok) fail(std::strerror(ok ? errno : err));
    if (std::rename(tmp.c_str(), target.c_str()) != 0) fail(std::strerror(errno));
}

}  // namespace vexart
