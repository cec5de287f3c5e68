#include "DiagLogFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace diagview {
namespace {

// Larger logs are not something this format makes; refusing them keeps a
// wrong file (a device, a disk image) from filling memory.
constexpr uint64_t kLargestLog = uint64_t{4} << 30;

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
    // A comma-separated list of encoded texts, each decoded.
    std::vector<std::string> texts(const std::string& key) const {
        std::vector<std::string> out;
        const std::string& v = raw(key);
        for (size_t start = 0; start <= v.size();) {
            size_t end = v.find(',', start);
            if (end == std::string::npos) end = v.size();
            out.push_back(diagDecode(v.substr(start, end - start)));
            start = end + 1;
        }
        return out;
    }

    std::string text(const std::string& key) const { return diagDecode(raw(key)); }
    uint64_t count(const std::string& key) const {
        const std::string& v = raw(key);
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
        if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0) fail(key + " is not a count: '" + printable(v, 40) + "'");
        return n;
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
    const std::string& raw(const std::string& key) const {
        const auto it = fields_.find(key);
        if (it == fields_.end()) fail(printable(kind_, 20) + " line without " + key);
        return it->second;
    }
    double number(const std::string& v, const std::string& key) const {
        char* end = nullptr;
        const double d = std::strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0' || !std::isfinite(d) || d < 0) fail(key + " is not a time: '" + printable(v, 40) + "'");
        return d;
    }
    size_t number_;
    std::string kind_;
    std::map<std::string, std::string> fields_;
};

}  // namespace

std::string printable(const std::string& text, size_t most) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < most; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return text.size() > most ? out + "..." : out;
}

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

DiagLog readDiagLog(std::istream& in) {
    DiagLog log;
    std::map<std::string, size_t> graphIndex;
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
            log.profilingLevel = static_cast<uint32_t>(p.count("profiling_level"));
            log.threads = static_cast<uint32_t>(p.count("threads"));
            log.loadUs = p.micros("load_us");
        } else if (p.kind() == "graph") {
            const std::string name = p.text("name");
            if (!graphIndex.emplace(name, log.graphs.size()).second) p.fail("graph '" + printable(name, 60) + "' declared twice");
            log.graphs.push_back({name, p.count("activation_bytes"), {}, {}});
        } else if (p.kind() == "nodes") {
            pendingGraph = &graphOf(p);
            pendingNodes = static_cast<size_t>(p.count("count"));
            if (pendingNodes > 10000000) p.fail("implausible node count");
            pendingGraph->schedules.emplace_back();
        } else if (p.kind() == "node") {
            if (pendingNodes == 0 || &graphOf(p) != pendingGraph) p.fail("node line outside a nodes table");
            auto& schedule = pendingGraph->schedules.back();
            if (p.count("index") != schedule.size()) p.fail("node index out of order");
            NodeInfo node{p.text("name"), p.text("op"), {}, {}, {}};
            if (p.has("kernel")) node.kernel = p.text("kernel");
            if (p.has("precision")) node.precision = p.text("precision");
            if (p.has("fused")) node.fused = p.texts("fused");
            schedule.push_back(std::move(node));
            --pendingNodes;
        } else if (p.kind() == "exec") {
            GraphLog& g = graphOf(p);
            // Format 1 did not mark it: a graph's first execution is its warm-up there too.
            Execution e{p.count("n"), p.micros("start_us"), p.micros("total_us"), p.list("node_us"), 0,
                        p.has("warmup") ? p.count("warmup") != 0 : g.executions.empty()};
            if (g.schedules.empty()) p.fail("execution of a graph without a node table");
            e.schedule = g.schedules.size() - 1;
            if (e.nodeUs.size() != g.schedules.back().size()) {
                p.fail(std::to_string(e.nodeUs.size()) + " node times for " +
                       std::to_string(g.schedules.back().size()) + " nodes");
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
