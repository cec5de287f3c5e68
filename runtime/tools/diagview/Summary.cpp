#include "Summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>

namespace diagview {

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::min(std::max<size_t>(rank, 1), sorted.size()) - 1];
}

Latency summarize(const GraphLog& graph) {
    Latency l;
    std::vector<double> times;
    double firstStart = 0, lastEnd = 0;
    for (const auto& e : graph.executions) {
        if (e.warmup) {
            if (l.warmups++ == 0) l.warmupUs = e.totalUs;
            continue;
        }
        if (times.empty()) firstStart = e.startUs;
        lastEnd = std::max(lastEnd, e.startUs + e.totalUs);
        times.push_back(e.totalUs);
    }
    if (times.empty()) return l;
    std::sort(times.begin(), times.end());
    l.count = times.size();
    for (double t : times) l.totalUs += t;
    l.meanUs = l.totalUs / static_cast<double>(l.count);
    l.p50Us = percentile(times, 50);
    l.p90Us = percentile(times, 90);
    l.p99Us = percentile(times, 99);
    l.minUs = times.front();
    l.maxUs = times.back();
    l.perSecond = l.totalUs > 0 ? static_cast<double>(l.count) * 1e6 / l.totalUs : 0;
    l.wallPerSecond = lastEnd > firstStart ? static_cast<double>(l.count) * 1e6 / (lastEnd - firstStart) : 0;
    return l;
}

std::vector<OperatorRow> operatorTable(const GraphLog& graph) {
    // By node name and type, as schedules may differ between executions;
    // nodes without a name (ONNX leaves it optional) by their place too.
    std::map<std::tuple<std::string, std::string, size_t>, size_t> index;
    std::vector<OperatorRow> table;
    // Per schedule, the row of each place in it: worked out once.
    std::vector<std::vector<size_t>> rowAt(graph.schedules.size());
    for (size_t s = 0; s < graph.schedules.size(); ++s) {
        for (size_t i = 0; i < graph.schedules[s].size(); ++i) {
            const NodeInfo& n = graph.node(s, i);
            const auto [at, fresh] = index.emplace(std::make_tuple(n.name, n.op, n.name.empty() ? i : 0), table.size());
            if (fresh) table.push_back({n.name, n.op, n.kernel, n.precision, n.fused});
            rowAt[s].push_back(at->second);
        }
    }
    double all = 0;
    for (const auto& e : graph.executions) {
        if (e.warmup) continue;
        all += e.totalUs;
        for (size_t i = 0; i < e.nodeUs.size(); ++i) {
            OperatorRow& r = table[rowAt[e.schedule][i]];
            ++r.calls;
            r.totalUs += e.nodeUs[i];
        }
    }
    // Each row's times gathered in turn (memory for one row, not a copy of
    // the log's), its places in each schedule found by their row.
    std::vector<std::vector<std::pair<size_t, size_t>>> places(graph.schedules.size());
    for (size_t s = 0; s < places.size(); ++s) {
        for (size_t i = 0; i < rowAt[s].size(); ++i) places[s].emplace_back(rowAt[s][i], i);
        std::sort(places[s].begin(), places[s].end());
    }
    std::vector<double> times;
    for (size_t k = 0; k < table.size(); ++k) {
        OperatorRow& r = table[k];
        if (r.calls == 0) continue;
        times.clear();
        for (const auto& e : graph.executions) {
            if (e.warmup) continue;
            const auto& p = places[e.schedule];
            const auto from = std::lower_bound(p.begin(), p.end(), std::pair<size_t, size_t>{k, 0});
            for (auto it = from; it != p.end() && it->first == k; ++it) times.push_back(e.nodeUs[it->second]);
        }
        std::sort(times.begin(), times.end());
        r.medianUs = percentile(times, 50);
        r.minUs = times.front();
        r.meanUs = r.totalUs / static_cast<double>(r.calls);
        r.share = all > 0 ? r.totalUs / all : 0;
    }
    table.erase(std::remove_if(table.begin(), table.end(), [](const OperatorRow& r) { return r.calls == 0; }), table.end());
    // By median: one stalled execution moves a mean, not a median.
    std::stable_sort(table.begin(), table.end(), [](const OperatorRow& a, const OperatorRow& b) {
        return a.medianUs != b.medianUs ? a.medianUs > b.medianUs : a.totalUs > b.totalUs;
    });
    return table;
}

std::vector<TypeRow> typeTable(const std::vector<OperatorRow>& nodes) {
    std::map<std::string, TypeRow> rows;
    for (const auto& n : nodes) {
        TypeRow& r = rows[n.op];
        r.op = n.op;
        ++r.nodes;
        r.totalUs += n.totalUs;
        r.share += n.share;
    }
    std::vector<TypeRow> table;
    for (auto& [op, r] : rows) table.push_back(r);
    std::stable_sort(table.begin(), table.end(), [](const TypeRow& a, const TypeRow& b) { return a.totalUs > b.totalUs; });
    return table;
}

std::string formatNumber(const char* format, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

}  // namespace diagview
