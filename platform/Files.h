// Whole-file reads for containers opened from their bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The file's bytes; empty (after a message on standard error) when it
// cannot be opened or read completely.
std::vector<uint8_t> readWholeFile(const std::string& path);
