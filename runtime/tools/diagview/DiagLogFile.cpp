#include "DiagLogFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <unordered_map>

namespace diagview {
namespace {

// Larger logs are not something this format makes; refusing them keeps a
// wrong file (a device, a disk image) from filling memory.
constexpr uint64_t kLargestLog = uint64_t{4} << 30;
// A network holds a few graphs; a log naming more is not one.
constexpr size_t kMostGraphs = 4096;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

class LineParser {
public:
    LineParser(const std::string& line, size_t number) : number_(number) {
        std::istringstream words(line);
        words >> kind_;
        std::string field;
        while (words >> field) {
            const size_t eq = field.find('=');
            if (eq == std::string::npos) fail("'" + printable(field, 40) + "' is not key=value");
            fields_[field.substr(0, eq)] = field.substr(eq + 1);
        }
    }
    const std::string& kind() const { return kind_; }
    bool has(const std::string& key) const { return fields_.count(key) != 0; }
    std::string text(const std::string& key) const { return diagDecode(raw(key)); }
    uint64_t count(const std::string& key, uint64_t most = UINT64_MAX) const {
        const std::string& v = raw(key);
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
        if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0) fail(key + " is not a count: '" + printable(v, 40) + "'");
        if (n > most) fail(key + " is out of range: " + v + " (at most " + std::to_string(most) + ")");
        return n;
    }
    const std::string& raw(const std::string& key) const {
        const auto it = fields_.find(key);
        if (it == fields_.end()) fail(printable(kind_, 20) + " line without " + key);
        return it->second;
    }
    double micros(const std::string& key) const { return number(raw(key), key); }
    std::vector<double> list(const std::string& key) const {
        std::vector<double> values;
        const std::string& v = raw(key);
        for (size_t start = 0; start < v.size();) {
            size_t end = v.find(',', start);
            if (end == std::string::npos) end = v.size();
            values.push_back(number(v.substr(start, end - start), key));
            start = end + 1;
        }
        return values;
    }
    [[noreturn]] void fail(const std::string& why) const {
        throw DiagLogError("line " + std::to_string(number_) + ": " + why);
    }

private:
    double number(const std::string& v, const std::string& key) const {
        char* end = nullptr;
        const double d = std::strtod(v.c_str(), &end);
        // Beyond 10^15 us (31 years) a time is no measurement, and sums of such overflow.
        if (v.empty() || *end != '\0' || !(d >= 0 && d <= 1e15)) fail(key + " is not a time: '" + printable(v, 40) + "'");
        return d;
    }
    size_t number_;
    std::string kind_;
    std::map<std::string, std::string> fields_;
};

}  // namespace

std::string diagDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

namespace {

uint64_t hashOf(const std::string& text, uint64_t h = 1469598103934665603ull) {
    for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return (h ^ 0xff) * 1099511628211ull;  // a separator between fields
}

// Finds or adds the node and schedule tables of one graph by content.
struct GraphTables {
    std::unordered_multimap<uint64_t, uint32_t> nodes, schedules;

    uint32_t node(GraphLog& g, NodeInfo&& info) {
        const uint64_t h = hashOf(info.fused, hashOf(info.precision, hashOf(info.kernel, hashOf(info.op, hashOf(info.name)))));
        const auto range = nodes.equal_range(h);
        for (auto it = range.first; it != range.second; ++it) {
            if (g.nodes[it->second] == info) return it->second;
        }
        g.nodes.push_back(std::move(info));
        const auto index = static_cast<uint32_t>(g.nodes.size() - 1);
        nodes.emplace(h, index);
        return index;
    }
    // The table just read (the last), or an earlier one with its content.
    size_t schedule(GraphLog& g) {
        const std::vector<uint32_t>& table = g.schedules.back();
        uint64_t h = 1469598103934665603ull;
        for (const uint32_t i : table) h = (h ^ i) * 1099511628211ull;
        const auto range = schedules.equal_range(h);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second + 1 != g.schedules.size() && g.schedules[it->second] == table) {
                g.schedules.pop_back();
                return it->second;
            }
        }
        schedules.emplace(h, static_cast<uint32_t>(g.schedules.size() - 1));
        return g.schedules.size() - 1;
    }
};

}  // namespace

DiagLog readDiagLog(std::istream& in) {
    DiagLog log;
    std::map<std::string, size_t> graphIndex;
    std::vector<GraphTables> tables;
    std::vector<size_t> current;  // per graph: the schedule its executions follow now
    auto graphOf = [&](const LineParser& p) -> GraphLog& {
        const auto it = graphIndex.find(p.text("graph"));
        if (it == graphIndex.end()) p.fail("graph '" + printable(p.text("graph"), 60) + "' was not declared");
        return log.graphs[it->second];
    };
    std::string line;
    size_t number = 0;
    bool versioned = false;
    size_t pendingNodes = 0;  // node lines still owed to the latest "nodes" line
    GraphLog* pendingGraph = nullptr;
    while (std::getline(in, line)) {
        ++number;
        // The writer ends every line: one without its end was cut short.
        if (in.eof()) {
            log.cut = true;
            break;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (!versioned) {
            const std::string prefix = "format vexa-diag ";
            if (line.rfind(prefix, 0) != 0) {
                throw DiagLogError("not a vexa diagnostic log (line " + std::to_string(number) +
                                   " should read \"format vexa-diag " + std::to_string(kFormatVersion) + "\")");
            }
            const std::string version = line.substr(prefix.size());
            if (version != "1" && version != "2") {
                throw DiagLogError("the log is in format vexa-diag " + printable(version, 20) +
                                   "; this viewer reads formats vexa-diag 1 to " + std::to_string(kFormatVersion));
            }
            versioned = true;
            continue;
        }
        const LineParser p(line, number);
        if (pendingNodes > 0 && p.kind() != "node") p.fail("expected " + std::to_string(pendingNodes) + " more node lines");
        if (p.kind() == "run") {
            log.profilingLevel = static_cast<uint32_t>(p.count("profiling_level", 2));
            log.threads = static_cast<uint32_t>(p.count("threads", 1u << 20));
            log.loadUs = p.micros("load_us");
        } else if (p.kind() == "graph") {
            const std::string name = p.text("name");
            if (!graphIndex.emplace(name, log.graphs.size()).second) p.fail("graph '" + printable(name, 60) + "' declared twice");
            if (log.graphs.size() == kMostGraphs) p.fail("implausible graph count: more than " + std::to_string(kMostGraphs));
            log.graphs.push_back({name, p.count("activation_bytes"), {}, {}, {}});
            tables.emplace_back();
            current.push_back(0);
        } else if (p.kind() == "nodes") {
            pendingGraph = &graphOf(p);
            pendingNodes = static_cast<size_t>(p.count("count"));
            if (pendingNodes > 10000000) p.fail("implausible node count");
            pendingGraph->schedules.emplace_back();
            const size_t gi = static_cast<size_t>(pendingGraph - log.graphs.data());
            if (pendingNodes == 0) current[gi] = tables[gi].schedule(*pendingGraph);
        } else if (p.kind() == "node") {
            if (pendingNodes == 0 || &graphOf(p) != pendingGraph) p.fail("node line outside a nodes table");
            auto& schedule = pendingGraph->schedules.back();
            if (p.count("index") != schedule.size()) p.fail("node index out of order");
            NodeInfo node{p.text("name"), p.text("op"), {}, {}, {}};
            if (p.has("kernel")) node.kernel = p.text("kernel");
            if (p.has("precision")) node.precision = p.text("precision");
            if (p.has("fused")) node.fused = p.raw("fused");
            const size_t gi = static_cast<size_t>(pendingGraph - log.graphs.data());
            schedule.push_back(tables[gi].node(*pendingGraph, std::move(node)));
            if (--pendingNodes == 0) current[gi] = tables[gi].schedule(*pendingGraph);
        } else if (p.kind() == "exec") {
            GraphLog& g = graphOf(p);
            // Format 1 did not mark it: a graph's first execution is its warm-up there too.
            Execution e{p.count("n"), p.micros("start_us"), p.micros("total_us"), p.list("node_us"), 0,
                        p.has("warmup") ? p.count("warmup") != 0 : g.executions.empty()};
            if (g.schedules.empty()) p.fail("execution of a graph without a node table");
            e.schedule = current[static_cast<size_t>(&g - log.graphs.data())];
            if (e.nodeUs.size() != g.schedules[e.schedule].size()) {
                p.fail(std::to_string(e.nodeUs.size()) + " node times for " +
                       std::to_string(g.schedules[e.schedule].size()) + " nodes");
            }
            g.executions.push_back(std::move(e));
        } else if (p.kind() == "end") {
            log.ended = true;
            if (p.has("wall_us")) log.wallUs = p.micros("wall_us");
            if (p.has("peak_rss_bytes")) log.peakRssBytes = p.count("peak_rss_bytes");
        } else {
            p.fail("unknown line kind '" + printable(p.kind(), 20) + "'");
        }
    }
    if (!versioned) throw DiagLogError("the log is empty: it holds no \"format vexa-diag\" line");
    if (pendingNodes > 0) {
        if (log.ended) throw DiagLogError("the log ends inside a node table");
        // A run stopped while writing a table: the table is left out.
        pendingGraph->schedules.pop_back();
        log.cut = true;
    }
    return log;
}

DiagLog readDiagLogFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) throw DiagLogError("cannot open " + path);
    if (!S_ISREG(st.st_mode)) throw DiagLogError(path + " is not a regular file");
    if (static_cast<uint64_t>(st.st_size) > kLargestLog) throw DiagLogError(path + " is too large for a diagnostic log");
    std::ifstream in(path);
    if (!in) throw DiagLogError("cannot open " + path);
    return readDiagLog(in);
}

}  // namespace diagview
