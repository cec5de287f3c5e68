// Figures derived from a diagnostic log: latency statistics and the
// per-operator table.
#pragma once

#include <string>
#include <vector>

#include "DiagLogFile.h"

namespace diagview {

// The steady state: every execution but the warm-up.
struct Latency {
    size_t count = 0;    // steady-state executions
    size_t warmups = 0;  // left out of every figure below
    double warmupUs = 0; // the first warm-up's time
    double meanUs = 0, p50Us = 0, p90Us = 0, p99Us = 0, minUs = 0, maxUs = 0, totalUs = 0;
    double perSecond = 0;      // executions per second of execution time alone
    double wallPerSecond = 0;  // per second of wall-clock time, first start to last end
};
Latency summarize(const GraphLog& graph);
// A run whose slow executions dwarf its typical one (p99 above three times
// p50, or the mean above 1.5 times it): other work on the machine took part.
inline bool unstable(const Latency& l) { return l.p50Us > 0 && (l.p99Us > 3 * l.p50Us || l.meanUs > 1.5 * l.p50Us); }

// Nearest-rank percentile of sorted values (p in 0..100); 0 for none.
double percentile(const std::vector<double>& sorted, double p);

struct OperatorRow {
    std::string node;
    std::string op;
    std::string kernel, precision;  // empty in format 1 logs
    std::string fused;  // as NodeInfo keeps it (forEachFused reads it)
    uint64_t calls = 0;
    double totalUs = 0;
    double meanUs = 0, medianUs = 0, minUs = 0;
    double share = 0;  // of the graph's total steady-state execution time, 0..1
};
// One row per node, by median time (slowest first), over the steady state.
std::vector<OperatorRow> operatorTable(const GraphLog& graph);

struct TypeRow {
    std::string op;
    size_t nodes = 0;  // scheduled nodes of the type
    double totalUs = 0;
    double share = 0;
};
// One row per operator type, slowest first, from the per-node table.
std::vector<TypeRow> typeTable(const std::vector<OperatorRow>& nodes);

// `value` printed with a printf format for one double ("%.3f").
std::string formatNumber(const char* format, double value);

}  // namespace diagview
