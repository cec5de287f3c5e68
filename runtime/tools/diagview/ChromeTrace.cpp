#include <nlohmann/json.hpp>

#include "Reports.h"

namespace diagview {

// Each graph is a thread of its own; node slices start where the previous
// node ended, inside their execution's slice (the log holds durations only).
void writeChromeTrace(const DiagLog& log, std::ostream& out) {
    using nlohmann::json;
    json events = json::array();
    events.push_back({{"name", "process_name"}, {"ph", "M"}, {"pid", 1}, {"args", {{"name", "vexa-net-run"}}}});
    for (size_t gi = 0; gi < log.graphs.size(); ++gi) {
        const GraphLog& g = log.graphs[gi];
        const int tid = static_cast<int>(gi) + 1;
        events.push_back({{"name", "thread_name"}, {"ph", "M"}, {"pid", 1}, {"tid", tid}, {"args", {{"name", g.name}}}});
        for (const auto& e : g.executions) {
            events.push_back({{"name", g.name + " #" + std::to_string(e.number)},
                              {"cat", "execution"},
                              {"ph", "X"},
                              {"pid", 1},
                              {"tid", tid},
                              {"ts", e.startUs},
                              {"dur", e.totalUs}});
            double at = e.startUs;
            const auto& schedule = g.schedules[e.schedule];
            for (size_t i = 0; i < e.nodeUs.size(); ++i) {
                events.push_back({{"name", schedule[i].name},
                                  {"cat", schedule[i].op},
                                  {"ph", "X"},
                                  {"pid", 1},
                                  {"tid", tid},
                                  {"ts", at},
                                  {"dur", e.nodeUs[i]},
                                  {"args", {{"op", schedule[i].op}}}});
                at += e.nodeUs[i];
            }
        }
    }
    // Names come from the model: bytes that are not UTF-8 are replaced, not fatal.
    out << json{{"traceEvents", events}, {"displayTimeUnit", "ms"}}.dump(-1, ' ', false, json::error_handler_t::replace)
        << "\n";
}

}  // namespace diagview
