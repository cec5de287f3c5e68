#include <cmath>
#include <nlohmann/json.hpp>

#include "Reports.h"
#include "Summary.h"

namespace diagview {

void writeJsonReport(const DiagLog& log, const std::string& source, std::ostream& out) {
    using nlohmann::json;
    json graphs = json::array();
    for (const auto& g : log.graphs) {
        const Latency l = summarize(g);
        const auto rows = operatorTable(g);
        json types = json::array();
        for (const auto& t : typeTable(rows)) {
            types.push_back({{"op", t.op}, {"nodes", t.nodes}, {"total_ms", t.totalUs / 1000}, {"share", t.share}});
        }
        json nodes = json::array();
        for (const auto& r : rows) {
            nodes.push_back({{"node", r.node}, {"op", r.op}, {"kernel", r.kernel}, {"precision", r.precision},
                             {"fused", r.fused}, {"calls", r.calls}, {"total_ms", r.totalUs / 1000},
                             {"mean_us", r.meanUs}, {"share", r.share}});
        }
        graphs.push_back({{"name", g.name},
                          {"activation_bytes", g.activationBytes},
                          {"executions", l.count + l.warmups},
                          {"warmup_executions", l.warmups},
                          {"warmup_ms", l.warmupUs / 1000},
                          {"latency_ms",
                           {{"count", l.count}, {"mean", l.meanUs / 1000}, {"p50", l.p50Us / 1000}, {"p90", l.p90Us / 1000},
                            {"p99", l.p99Us / 1000}, {"min", l.minUs / 1000}, {"max", l.maxUs / 1000}}},
                          {"throughput_wall_clock_per_s", l.wallPerSecond},
                          {"throughput_execution_time_per_s", l.perSecond},
                          {"operator_types", types},
                          {"nodes", nodes}});
    }
    const json doc = {{"log", source},
                      {"profiling_level", log.profilingLevel},
                      {"threads", log.threads},
                      {"load_ms", log.loadUs / 1000},
                      {"ended", log.ended},
                      {"interrupted", log.cut},
                      {"run_wall_s", log.wallUs / 1e6},
                      {"peak_rss_bytes", log.peakRssBytes},
                      {"graphs", graphs}};
    out << doc.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

}  // namespace diagview
