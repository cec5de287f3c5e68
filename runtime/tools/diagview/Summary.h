// Figures derived from a diagnostic log: latency statistics and the
// per-operator table.
#pragma once

#include <string>
#include <vector>

#include "DiagLogFile.h"

namespace diagview {

struct Latency {
    size_t count = 0;
    double meanUs = 0, p50Us = 0, p90Us = 0, p99Us = 0, minUs = 0, maxUs = 0, totalUs = 0;
    double perSecond = 0;  // executions per second of execution time
};
Latency summarize(const GraphLog& graph);

// Nearest-rank percentile of sorted values (p in 0..100); 0 for none.
double percentile(const std::vector<double>& sorted, double p);

struct OperatorRow {
    std::string node;
    std::string op;
    uint64_t calls = 0;
    double totalUs = 0;
    double meanUs = 0;
    double share = 0;  // of the graph's total execution time, 0..1
};
// One row per node, slowest first.
std::vector<OperatorRow> operatorTable(const GraphLog& graph);

// `value` printed with a printf format for one double ("%.3f").
std::string formatNumber(const char* format, double value);

}  // namespace diagview
