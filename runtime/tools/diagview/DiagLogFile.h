// The diagnostic log as vexa-diagview reads it (the format is described
// where the library writes it, runtime/DiagLog.h).
#pragma once

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Printable.h"

namespace diagview {

// The newest format this viewer reads; it reads every one before it.
constexpr int kFormatVersion = 2;

struct NodeInfo {
    std::string name;
    std::string op;
    std::string kernel;     // what ran (format 2): "onednn:brgconv:avx512_core", "vexa", ...
    std::string precision;  // "f32", "int8", ... (format 2)
    // The nodes that ran inside this one, as the log lists them (encoded,
    // comma-separated): kept as one text, read through fusedNames.
    std::string fused;
    bool operator==(const NodeInfo& o) const {
        return name == o.name && op == o.op && kernel == o.kernel && precision == o.precision && fused == o.fused;
    }
};
// %XX sequences decoded; the inverse of the writer's encoding.
std::string diagDecode(const std::string& text);

// Calls f(name) for each name of a fused list as NodeInfo keeps it, decoded
// one at a time (a list may be long), until f returns false.
template <typename F>
void forEachFused(const std::string& list, F f) {
    for (size_t start = 0; !list.empty() && start <= list.size();) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        if (!f(diagDecode(list.substr(start, end - start)))) return;
        start = end + 1;
    }
}

struct Execution {
    uint64_t number = 0;
    double startUs = 0;
    double totalUs = 0;
    std::vector<double> nodeUs;  // in the order of the graph's schedule at the time
    size_t schedule = 0;         // which of the graph's schedules
    bool warmup = false;         // the graph's first execution, apart from the figures
};

// A log repeats its node tables whenever a graph's schedule changes: each
// distinct node is kept once, and each distinct table once, so that the
// memory follows what the run was, not how often the log restated it.
struct GraphLog {
    std::string name;
    uint64_t activationBytes = 0;
    std::vector<NodeInfo> nodes;                  // every distinct node the tables name
    std::vector<std::vector<uint32_t>> schedules; // each a table of indices into `nodes`
    std::vector<Execution> executions;
    const NodeInfo& node(size_t schedule, size_t i) const { return nodes[schedules[schedule][i]]; }
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

using vexart::printable;

}  // namespace diagview
