#include <charconv>
#include <nlohmann/json.hpp>

#include "Reports.h"

namespace diagview {
namespace {

char* append(char* p, const char* text) {
    while (*text != '\0') *p++ = *text++;
    return p;
}
// The shortest text that reads back as `v`, as the JSON library writes numbers.
char* append(char* p, double v) { return std::to_chars(p, p + 32, v).ptr; }

// One event a line, written as it is made: the trace of a long run is never
// held in memory whole.
class EventWriter {
public:
    explicit EventWriter(std::ostream& out) : out_(out) { out_ << "{\"displayTimeUnit\": \"ms\", \"traceEvents\": [\n"; }
    void add(const nlohmann::json& event) {
        out_ << (first_ ? "" : ",\n") << jsonText(event);
        first_ = false;
    }
    // A slice: `head`, an event's text without its closing brace, then its times.
    void slice(const std::string& head, double ts, double dur) {
        char times[80];
        char* p = times;
        p = append(append(p, ",\"ts\":"), ts);
        p = append(append(p, ",\"dur\":"), dur);
        *p++ = '}';
        out_ << (first_ ? "" : ",\n") << head;
        out_.write(times, p - times);
        first_ = false;
    }
    ~EventWriter() { out_ << "\n]}\n"; }
    EventWriter(const EventWriter&) = delete;
    EventWriter& operator=(const EventWriter&) = delete;

private:
    std::ostream& out_;
    bool first_ = true;
};

}  // namespace

// The load is a slice of its own before time 0 of the log; each graph is a
// thread of its own; node slices start where the previous node ended,
// inside their execution's slice (the log holds durations only).
void writeChromeTrace(const DiagLog& log, std::ostream& out) {
    EventWriter events(out);
    const double shift = log.loadUs;  // the log's time 0 is when loading ended
    events.add({{"name", "process_name"}, {"ph", "M"}, {"pid", 1}, {"args", {{"name", "vexa-net-run"}}}});
    events.add({{"name", "thread_name"}, {"ph", "M"}, {"pid", 1}, {"tid", 0}, {"args", {{"name", "load"}}}});
    events.add({{"name", "load (container open and build)"}, {"cat", "load"}, {"ph", "X"}, {"pid", 1}, {"tid", 0},
                {"ts", 0}, {"dur", log.loadUs}});
    for (size_t gi = 0; gi < log.graphs.size(); ++gi) {
        const GraphLog& g = log.graphs[gi];
        const int tid = static_cast<int>(gi) + 1;
        // Per node, its event up to the times: a node's fused list goes with
        // its first slice only, repeated in every execution it would make
        // the trace grow with the list's length times the executions.
        std::vector<std::string> heads(g.nodes.size());
        events.add({{"name", "thread_name"}, {"ph", "M"}, {"pid", 1}, {"tid", tid}, {"args", {{"name", g.name}}}});
        for (const auto& e : g.executions) {
            events.add({{"name", g.name + " #" + std::to_string(e.number) + (e.warmup ? " (warm-up)" : "")},
                        {"cat", "execution"},
                        {"ph", "X"},
                        {"pid", 1},
                        {"tid", tid},
                        {"ts", shift + e.startUs},
                        {"dur", e.totalUs}});
            double at = shift + e.startUs;
            const auto& schedule = g.schedules[e.schedule];
            for (size_t i = 0; i < e.nodeUs.size(); ++i) {
                const uint32_t k = schedule[i];
                std::string& head = heads[k];
                if (head.empty()) {
                    // The node's fields, written out once; its first slice
                    // alone also carries the fused list.
                    const NodeInfo& n = g.nodes[k];
                    nlohmann::json event = {{"name", n.name}, {"cat", n.op}, {"ph", "X"}, {"pid", 1}, {"tid", tid},
                                            {"args", {{"op", n.op}, {"kernel", n.kernel}, {"precision", n.precision}}}};
                    head = jsonText(event);
                    head.pop_back();
                    if (n.fused.empty()) {
                        events.slice(head, at, e.nodeUs[i]);
                    } else {
                        event["args"]["fused"] = nlohmann::json::array();
                        std::string first = jsonText(event);
                        const std::string empty = "\"fused\":[]";
                        first.replace(first.find(empty), empty.size(), "\"fused\":" + fusedJson(n.fused));
                        first.pop_back();
                        events.slice(first, at, e.nodeUs[i]);
                    }
                } else {
                    events.slice(head, at, e.nodeUs[i]);
                }
                at += e.nodeUs[i];
            }
        }
    }
}

}  // namespace diagview
