// The diagnostic log a network writes while profiling is on. It is a
// versioned, line-oriented text ("format vexa-diag 2"), read back by
// vexa-diagview:
//   run profiling_level=L threads=T load_us=U           the network as built
//   graph name=G activation_bytes=B                      once per graph
//   nodes graph=G count=K, then K lines
//   node graph=G index=I name=N op=O kernel=K precision=P [fused=a,b]
//                                                        the graph's schedule: what ran
//                                                        and the nodes fused into it
//   exec graph=G n=N start_us=S total_us=T node_us=a,b,… [warmup=1]
//                                                        one per execution; the first
//                                                        of a graph is its warm-up
//   end executions=N wall_us=W peak_rss_bytes=R          when the network goes
// Texts are percent-encoded where they hold a byte the reader splits at
// (space, '=', ',', control bytes) or '%'; times are microseconds,
// start_us counted from the log's start. Format 1 lacked kernel,
// precision, fused, warmup and the end line's figures.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vexart {

struct Network;
struct NetworkGraph;

class DiagLogWriter {
public:
    // Throws std::runtime_error when the log cannot be created.
    DiagLogWriter(const std::string& directory, const Network& network);
    ~DiagLogWriter();
    DiagLogWriter(const DiagLogWriter&) = delete;
    DiagLogWriter& operator=(const DiagLogWriter&) = delete;

    // One execution of `graph` that began at `start` and took `microseconds`.
    void execution(const NetworkGraph& graph, uint64_t number, std::chrono::steady_clock::time_point start,
                   double microseconds);
    void finish(uint64_t executions);
    const std::string& path() const { return path_; }

private:
    void writeSchedule(const NetworkGraph& graph);

    std::string path_;
    std::FILE* file_ = nullptr;
    std::chrono::steady_clock::time_point opened_;
    struct GraphState {
        std::string encodedName;
        std::vector<std::string> nodes;  // names last written
        bool executed = false;
    };
    std::map<std::string, GraphState> graphs_;
    std::string line_;  // reused for every execution line
};

// `text` with ' ', '%', '=', CR and LF written as %XX.
std::string diagEncode(const std::string& text);

}  // namespace vexart
