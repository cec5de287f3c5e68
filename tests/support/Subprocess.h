// Runs a program to completion and captures what it wrote.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    uint64_t peakRssBytes = 0;  // the child's largest resident set, as sampled while it ran
    bool timedOut = false;
};

struct ProcessOptions {
    std::string workingDirectory;                             // empty: inherit
    std::vector<std::pair<std::string, std::string>> env;     // added to the environment
    double timeoutSeconds = 60;
    // Address-space limit of the child (0: none). Sanitizer builds reserve
    // terabytes of shadow memory, so there the limit is left out and callers
    // bound peakRssBytes instead.
    uint64_t memoryLimitBytes = 0;
};

// True in AddressSanitizer builds.
bool sanitizedBuild();

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// A fresh, empty directory under the system's temporary directory, removed
// with everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);

// How often `what` occurs in `text`.
size_t countOf(const std::string& text, const std::string& what);
