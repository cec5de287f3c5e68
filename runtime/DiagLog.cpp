#include "DiagLog.h"

#include <sys/resource.h>

#include <filesystem>
#include <stdexcept>

#include "Network.h"

namespace vexart {

std::string diagEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == ' ' || c == '%' || c == '=' || c == ',' || u < 0x20 || u == 0x7f) {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

DiagLogWriter::DiagLogWriter(const std::string& directory, const Network& network)
    : opened_(std::chrono::steady_clock::now()) {
    const std::string dir = directory.empty() ? std::string(".") : directory;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    path_ = dir + "/VEXADiag.log";
    file_ = std::fopen(path_.c_str(), "w");
    if (file_ == nullptr) throw std::runtime_error("cannot create diagnostic log " + path_);
    std::fprintf(file_, "# VEXA diagnostic log; vexa-diagview reads it\nformat vexa-diag 2\n");
    std::fprintf(file_, "run profiling_level=%u threads=%u load_us=%.1f\n", network.profilingLevel, network.threads,
                 network.loadMicroseconds);
    for (const auto& g : network.graphs) {
        std::fprintf(file_, "graph name=%s activation_bytes=%llu\n", diagEncode(g.name).c_str(),
                     static_cast<unsigned long long>(g.graph->activationBytes()));
        writeSchedule(g);
    }
    std::fflush(file_);
}

DiagLogWriter::~DiagLogWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

// A graph prepared again for each execution may change its schedule; the
// node table is written again whenever it does.
void DiagLogWriter::writeSchedule(const NetworkGraph& graph) {
    const auto& timings = graph.graph->timings();
    GraphState& state = graphs_[graph.name];
    if (state.encodedName.empty()) state.encodedName = diagEncode(graph.name);
    std::vector<std::string>& names = state.nodes;
    bool same = names.size() == timings.size();
    for (size_t i = 0; same && i < timings.size(); ++i) same = names[i] == timings[i].name;
    if (same && !names.empty()) return;
    names.clear();
    const std::string& g = state.encodedName;
    std::fprintf(file_, "nodes graph=%s count=%zu\n", g.c_str(), timings.size());
    for (size_t i = 0; i < timings.size(); ++i) {
        names.push_back(timings[i].name);
        std::string fused;
        for (const auto& f : timings[i].fused) fused += (fused.empty() ? " fused=" : ",") + diagEncode(f);
        std::fprintf(file_, "node graph=%s index=%zu name=%s op=%s kernel=%s precision=%s%s\n", g.c_str(), i,
                     diagEncode(timings[i].name).c_str(), diagEncode(timings[i].opType).c_str(),
                     diagEncode(timings[i].kernel).c_str(), diagEncode(timings[i].precision).c_str(), fused.c_str());
    }
}

void DiagLogWriter::execution(const NetworkGraph& graph, uint64_t number, std::chrono::steady_clock::time_point start,
                              double microseconds) {
    // Only a graph prepared again for each execution can change its schedule.
    if (graph.prepareEachRun) writeSchedule(graph);
    char head[160];
    std::snprintf(head, sizeof head, " n=%llu start_us=%.1f total_us=%.1f node_us=",
                  static_cast<unsigned long long>(number),
                  std::chrono::duration<double, std::micro>(start - opened_).count(), microseconds);
    GraphState& state = graphs_[graph.name];
    line_.assign("exec graph=").append(state.encodedName).append(head);
    char value[32];
    const auto& timings = graph.graph->timings();
    for (size_t i = 0; i < timings.size(); ++i) {
        std::snprintf(value, sizeof value, i == 0 ? "%.1f" : ",%.1f", timings[i].lastMicroseconds);
        line_ += value;
    }
    // A graph's first execution pays for what planning left to it.
    if (!state.executed) line_ += " warmup=1";
    state.executed = true;
    line_ += '\n';
    std::fwrite(line_.data(), 1, line_.size(), file_);
}

void DiagLogWriter::finish(uint64_t executions) {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(file_, "end executions=%llu wall_us=%.1f peak_rss_bytes=%llu\n", static_cast<unsigned long long>(executions),
                 std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - opened_).count(),
                 static_cast<unsigned long long>(usage.ru_maxrss) * 1024);  // kilobytes on Linux
    std::fflush(file_);
}

}  // namespace vexart
