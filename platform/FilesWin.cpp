#include <windows.h>

#include <iostream>

#include "platform/Files.h"

std::vector<uint8_t> readWholeFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    // Only disk files, of a size one read can take.
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size) ||
        size.QuadPart < 0 || size.QuadPart > 0x7fffffff) {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        std::cerr << "Failed to open file: " << path << std::endl;
        return {};
    }
    const auto length = static_cast<DWORD>(size.QuadPart);
    std::vector<uint8_t> bytes(length);
    DWORD got = 0;
    if (!ReadFile(file, bytes.data(), length, &got, nullptr) || got != length) {
        CloseHandle(file);
        std::cerr << "Expected to read " << length << "b but only managed to read " << got
                  << "b of file: " << path << std::endl;
        return {};
    }
    if (!CloseHandle(file)) std::cerr << "[Warning] Failed to close file: " << path << " (proceeding anyways)" << std::endl;
    return bytes;
}

#include <direct.h>
#include <sys/stat.h>

PathKind pathKind(const std::string& path) {
    struct _stat64 st {};
    if (_stat64(path.c_str(), &st) != 0) return PathKind::Missing;
    return (st.st_mode & _S_IFDIR) != 0 ? PathKind::Directory : PathKind::Other;
}

bool isRegularFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0 && path.rfind("\\\\.\\", 0) != 0;
}

// CreateFileA refuses a directory without FILE_FLAG_BACKUP_SEMANTICS; pipes
// and devices are read like files, up to the bound.
BoundedRead readBounded(const std::string& path, uint64_t maxBytes, std::string& out) {
    out.clear();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return BoundedRead::OpenFailed;
    BoundedRead result = BoundedRead::Done;
    char buffer[1 << 16];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            if (GetLastError() != ERROR_BROKEN_PIPE) result = BoundedRead::ReadFailed;
            break;
        }
        if (got == 0) break;
        if (out.size() + got > maxBytes) {
            result = BoundedRead::TooLarge;
            break;
        }
        out.append(buffer, got);
    }
    CloseHandle(file);
    if (result != BoundedRead::Done) out.clear();
    return result;
}

FileWrite writeFileBytes(const std::string& path, const void* data, size_t bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FileWrite::OpenFailed;
    const auto* p = static_cast<const char*>(data);
    bool ok = true;
    while (ok && bytes > 0) {
        const DWORD chunk = bytes > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes);
        DWORD wrote = 0;
        ok = WriteFile(file, p, chunk, &wrote, nullptr) && wrote == chunk;
        p += chunk;
        bytes -= chunk;
    }
    if (!CloseHandle(file)) ok = false;
    return ok ? FileWrite::Done : FileWrite::WriteFailed;
}

// Without opening the file there is no file index; size and write time
// (100 ns units) identify the version.
bool fileStamp(const std::string& path, FileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) return false;
    stamp.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.modified = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                          data.ftLastWriteTime.dwLowDateTime);
    stamp.changed = 0;
    stamp.device = 0;
    stamp.inode = 0;
    return true;
}

bool makeDirectory(const std::string& path, unsigned) {
    const PathKind kind = pathKind(path);
    if (kind != PathKind::Missing) return kind == PathKind::Directory;
    if (_mkdir(path.c_str()) == 0) return true;
    // The caller reports _mkdir's own error; the status query must not replace it.
    const int err = errno;
    if (pathKind(path) == PathKind::Directory) return true;
    errno = err;
    return false;
}
