#include <cstdio>

#include "Reports.h"
#include "Summary.h"

namespace diagview {
namespace {

// Names come from the model: control bytes are shown escaped, not sent.
std::string fit(const std::string& text, size_t width) {
    const std::string shown = printable(text, width + 1);
    return shown.size() <= width ? shown : shown.substr(0, width - 3) + "...";
}

}  // namespace

void writeTextReport(const DiagLog& log, const std::string& source, size_t top, std::ostream& out) {
    out << "Diagnostic log " << source << ": profiling level " << log.profilingLevel << ", " << log.threads
        << (log.threads == 1 ? " thread" : " threads") << (log.ended ? "" : ", still open (run not finished)")
        << "\n";
    out << "Load (container open and build): " << formatNumber("%.3f", log.loadUs / 1000) << " ms\n";
    for (const auto& g : log.graphs) {
        const Latency l = summarize(g);
        out << "\nGraph " << printable(g.name) << ": " << l.count << " executions, activation memory "
            << formatNumber("%.2f", static_cast<double>(g.activationBytes) / (1 << 20)) << " MiB\n";
        if (l.count == 0) continue;
        out << "Latency (ms): mean " << formatNumber("%.3f", l.meanUs / 1000) << "  p50 " << formatNumber("%.3f", l.p50Us / 1000)
            << "  p90 " << formatNumber("%.3f", l.p90Us / 1000) << "  p99 " << formatNumber("%.3f", l.p99Us / 1000) << "  min "
            << formatNumber("%.3f", l.minUs / 1000) << "  max " << formatNumber("%.3f", l.maxUs / 1000) << "\n";
        out << "Throughput: " << formatNumber("%.1f", l.perSecond) << " inferences/s of execution time\n";
        const auto rows = operatorTable(g);
        if (rows.empty()) continue;
        char line[256];
        std::snprintf(line, sizeof line, "\n%-32s %-20s %7s %11s %10s %7s\n", "Node", "Type", "Calls", "Total ms",
                      "Mean us", "Share");
        out << line;
        for (size_t i = 0; i < rows.size() && i < top; ++i) {
            const auto& r = rows[i];
            std::snprintf(line, sizeof line, "%-32s %-20s %7llu %11.3f %10.2f %6.1f%%\n", fit(r.node, 32).c_str(),
                          fit(r.op, 20).c_str(), static_cast<unsigned long long>(r.calls), r.totalUs / 1000, r.meanUs,
                          100 * r.share);
            out << line;
        }
        if (rows.size() > top) out << "(" << rows.size() - top << " more nodes; --top N shows more)\n";
    }
}

}  // namespace diagview
