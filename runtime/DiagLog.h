// The diagnostic log a network writes while profiling is on: one line per
// execution and, when the network is released, per-node totals.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vexart {

struct NetworkGraph;

class DiagLogWriter {
public:
    // Throws std::runtime_error when the log cannot be created.
    DiagLogWriter(const std::string& directory, uint32_t profilingLevel);
    ~DiagLogWriter();
    DiagLogWriter(const DiagLogWriter&) = delete;
    DiagLogWriter& operator=(const DiagLogWriter&) = delete;

    void execution(const std::string& graph, uint64_t number, double microseconds);
    void finish(const std::vector<NetworkGraph>& graphs, uint64_t executions);
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::FILE* file_ = nullptr;
};

}  // namespace vexart
