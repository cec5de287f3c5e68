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

enum class FileWrite { Done, OpenFailed, WriteFailed };
// Leaves `path` holding exactly the given bytes, creating it when missing.
FileWrite writeFileBytes(const std::string& path, const void* data, size_t bytes);

// Creates one directory level; permission bits apply where the platform has them.
bool makeDirectory(const std::string& path, unsigned mode);
