#include <cmath>
#include <nlohmann/json.hpp>

#include "Reports.h"
#include "Summary.h"

namespace diagview {
std::string jsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string fusedJson(const std::string& list) {
    std::string text = "[";
    forEachFused(list, [&](const std::string& name) {
        text += (text.size() == 1 ? "" : ",") + jsonText(name);
        return true;
    });
    return text + "]";
}

// Written a row at a time: the document of a long log with many nodes is
// never held whole, only the figures of one graph.
void writeJsonReport(const DiagLog& log, const std::string& source, std::ostream& out) {
    using nlohmann::json;
    out << "{\n  \"log\": " << jsonText(source) << ",\n  \"profiling_level\": " << log.profilingLevel
        << ",\n  \"threads\": " << log.threads << ",\n  \"load_ms\": " << jsonText(log.loadUs / 1000)
        << ",\n  \"ended\": " << (log.ended ? "true" : "false") << ",\n  \"interrupted\": " << (log.cut ? "true" : "false")
        << ",\n  \"run_wall_s\": " << jsonText(log.wallUs / 1e6) << ",\n  \"peak_rss_bytes\": " << log.peakRssBytes
        << ",\n  \"graphs\": [";
    for (size_t gi = 0; gi < log.graphs.size(); ++gi) {
        const GraphLog& g = log.graphs[gi];
        const Latency l = summarize(g);
        const auto rows = operatorTable(g);
        json types = json::array();
        for (const auto& t : typeTable(rows)) {
            types.push_back({{"op", t.op}, {"nodes", t.nodes}, {"total_ms", t.totalUs / 1000}, {"share", t.share}});
        }
        const json head = {{"name", g.name},
                           {"activation_bytes", g.activationBytes},
                           {"executions", l.count + l.warmups},
                           {"warmup_executions", l.warmups},
                           {"warmup_ms", l.warmupUs / 1000},
                           {"latency_ms",
                            {{"count", l.count}, {"mean", l.meanUs / 1000}, {"p50", l.p50Us / 1000}, {"p90", l.p90Us / 1000},
                             {"p99", l.p99Us / 1000}, {"min", l.minUs / 1000}, {"max", l.maxUs / 1000}}},
                           {"unstable", unstable(l)},
                           {"throughput_wall_clock_per_s", l.wallPerSecond},
                           {"throughput_execution_time_per_s", l.perSecond},
                           {"operator_types", types}};
        std::string text = jsonText(head);
        text.pop_back();  // the closing brace: the nodes follow
        out << (gi == 0 ? "\n    " : ",\n    ") << text << ", \"nodes\": [";
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto& r = rows[i];
            std::string row = jsonText({{"node", r.node}, {"op", r.op}, {"kernel", r.kernel}, {"precision", r.precision},
                                        {"calls", r.calls}, {"total_ms", r.totalUs / 1000}, {"median_us", r.medianUs},
                                        {"min_us", r.minUs}, {"mean_us", r.meanUs}, {"share", r.share}});
            row.pop_back();
            out << (i == 0 ? "\n      " : ",\n      ") << row << ",\"fused\":" << fusedJson(r.fused) << "}";
        }
        out << (rows.empty() ? "]}" : "\n    ]}");
    }
    out << (log.graphs.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace diagview
