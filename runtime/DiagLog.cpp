#include "DiagLog.h"

#include <filesystem>
#include <stdexcept>

#include "Network.h"

namespace vexart {

DiagLogWriter::DiagLogWriter(const std::string& directory, uint32_t profilingLevel) {
    const std::string dir = directory.empty() ? std::string(".") : directory;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    path_ = dir + "/VEXADiag.log";
    file_ = std::fopen(path_.c_str(), "w");
    if (file_ == nullptr) throw std::runtime_error("cannot create diagnostic log " + path_);
    std::fprintf(file_, "# VEXA diagnostic log, profiling level %u\n", profilingLevel);
    std::fflush(file_);
}

DiagLogWriter::~DiagLogWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

void DiagLogWriter::execution(const std::string& graph, uint64_t number, double microseconds) {
    std::fprintf(file_, "execute graph=%s n=%llu total_us=%.1f\n", graph.c_str(),
                 static_cast<unsigned long long>(number), microseconds);
}

void DiagLogWriter::finish(const std::vector<NetworkGraph>& graphs, uint64_t executions) {
    for (const auto& g : graphs) {
        for (const auto& t : g.graph->timings()) {
            std::fprintf(file_, "node graph=%s name=%s op=%s total_us=%.1f avg_us=%.2f\n", g.name.c_str(),
                         t.name.c_str(), t.opType.c_str(), t.totalMicroseconds,
                         executions != 0 ? t.totalMicroseconds / static_cast<double>(executions) : 0.0);
        }
    }
    std::fflush(file_);
}

}  // namespace vexart
