// The diagnostic log as vexa-diagview reads it (the format is described
// where the library writes it, runtime/DiagLog.h).
#pragma once

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

namespace diagview {

// The newest format this viewer reads; it reads every one before it.
constexpr int kFormatVersion = 2;

struct NodeInfo {
    std::string name;
    std::string op;
    std::string kernel;     // what ran (format 2): "onednn:brgconv:avx512_core", "vexa", ...
    std::string precision;  // "f32", "int8", ... (format 2)
    std::vector<std::string> fused;  // nodes that ran inside this one
};

struct Execution {
    uint64_t number = 0;
    double startUs = 0;
    double totalUs = 0;
    std::vector<double> nodeUs;  // in the order of the graph's schedule at the time
    size_t schedule = 0;         // which of the graph's schedules
    bool warmup = false;         // the graph's first execution, apart from the figures
};

struct GraphLog {
    std::string name;
    uint64_t activationBytes = 0;
    std::vector<std::vector<NodeInfo>> schedules;
    std::vector<Execution> executions;
};

struct DiagLog {
    uint32_t profilingLevel = 0;
    uint32_t threads = 1;
    double loadUs = 0;
    std::vector<GraphLog> graphs;
    bool ended = false;  // the network was released and the log closed
    double wallUs = 0;           // from the log's start to its end (format 2, ended logs)
    uint64_t peakRssBytes = 0;   // of the run's process (format 2, ended logs)
    // The log stops short of its end (the run was stopped or is still
    // going): what was cut from it (a line, a node table) is left out.
    bool cut = false;
};

// A log that cannot be read: the reason, with the line it was found on.
struct DiagLogError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

DiagLog readDiagLog(std::istream& in);
DiagLog readDiagLogFile(const std::string& path);

// %XX sequences decoded; the inverse of the writer's encoding.
std::string diagDecode(const std::string& text);

// Text from a log made safe for a terminal: control bytes as \xNN, and at
// most `most` bytes of it (then "...").
std::string printable(const std::string& text, size_t most = 200);

}  // namespace diagview
