// Saving a file that others may read or update at the same time: the new
// bytes go to a temporary file beside the target and are renamed over it,
// so a reader sees the old file or the new one, never a mix; and writers
// that read, change and write back (quantize in place, the init cache)
// hold an advisory lock for the whole round so that no update is lost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexart {

// An exclusive flock(2) on the folder that holds `path` (the file a link
// names), held for the object's life. The folder is locked rather than the
// file because a save replaces the file's inode. Blocks until it is free.
class FileUpdateLock {
public:
    explicit FileUpdateLock(const std::string& path);
    ~FileUpdateLock();
    FileUpdateLock(const FileUpdateLock&) = delete;
    FileUpdateLock& operator=(const FileUpdateLock&) = delete;

private:
    int fd_ = -1;
};

// What identifies one version of a file: a save (rename) or a write
// changes it.
struct FileVersion {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modifiedNs = 0;
    bool operator==(const FileVersion& o) const {
        return device == o.device && inode == o.inode && size == o.size && modifiedNs == o.modifiedNs;
    }
    bool operator!=(const FileVersion& o) const { return !(*this == o); }
};
// False when `path` names no file.
bool fileVersion(const std::string& path, FileVersion& version);
// The version of an open file (not of what its path names by now).
bool fileVersion(int fd, FileVersion& version);

// The file a path names, through links; the path itself when there is none.
std::string resolvedPath(const std::string& path);

// Replaces `path` (or, through a symlink, the file it names) with `bytes`,
// keeping its permissions. The caller holds a FileUpdateLock on it: the
// temporaries that a save killed midway left beside it are removed first.
void replaceFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace vexart
