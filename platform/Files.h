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

// Creates one directory level; permission bits apply where the platform has them.
bool makeDirectory(const std::string& path, unsigned mode);
