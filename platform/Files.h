// Whole-file reads for containers opened from their bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The file's bytes; empty (after a message on standard error) when it
// cannot be opened or read completely.
std::vector<uint8_t> readWholeFile(const std::string& path);

enum class PathKind { Missing, Directory, Other };
PathKind pathKind(const std::string& path);

// True for a regular file.
bool isRegularFile(const std::string& path);

// Reads a file front to back, a pipe or a device as well as a regular file:
// those are ordinary sequential inputs, so the bound on what is read is what
// keeps an endless one (/dev/zero) from growing without limit. A FIFO with
// no writer reads as empty instead of blocking; a directory is refused.
enum class BoundedRead { Done, OpenFailed, TooLarge, ReadFailed };
BoundedRead readBounded(const std::string& path, uint64_t maxBytes, std::string& out);

// What tells one version of a regular file from another: a file whose
// stamp is unchanged is taken to hold the same bytes.
struct FileStamp {
    uint64_t size = 0;
    int64_t modified = 0;  // contents; platform time units
    int64_t changed = 0;   // attributes (permissions, owner), where the platform tracks them
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileStamp& o) const {
        return size == o.size && modified == o.modified && changed == o.changed && device == o.device &&
               inode == o.inode;
    }
};
// False for anything that is not a regular file (pipes and devices included).
bool fileStamp(const std::string& path, FileStamp& stamp);

enum class FileWrite { Done, OpenFailed, WriteFailed };
// Leaves `path` holding exactly the given bytes, creating it when missing.
FileWrite writeFileBytes(const std::string& path, const void* data, size_t bytes);

// Creates one directory level; permission bits apply where the platform has them.
bool makeDirectory(const std::string& path, unsigned mode);
