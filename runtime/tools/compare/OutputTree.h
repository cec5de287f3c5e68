// The raw files of a run's output directory (Result_N directories) or of a
// reference directory laid out as one result.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vexart {

struct OutputTree {
    // Result index -> tensor (the file's path inside its result, without
    // ".raw") -> the file.
    std::map<uint64_t, std::map<std::string, std::string>> results;
    bool flat = false;  // no Result_N directories: the files form result 0
};

// Throws std::runtime_error when `dir` is not a readable directory.
OutputTree readOutputTree(const std::string& dir);

}  // namespace vexart
