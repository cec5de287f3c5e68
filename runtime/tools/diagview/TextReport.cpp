#include <cstdio>

#include "Reports.h"
#include "Summary.h"

namespace diagview {
namespace {

// Names come from the model: control bytes are shown escaped, not sent. A
// long one keeps both ends ("/features/fe...block.2/Conv"): exported names
// share their start and differ at their end.
std::string fit(const std::string& text, size_t width) {
    const std::string shown = printable(text, std::string::npos);
    if (shown.size() <= width) return shown;
    const size_t head = (width - 3) / 2, tail = width - 3 - head;
    return shown.substr(0, head) + "..." + shown.substr(shown.size() - tail);
}

std::string ms(double us) { return formatNumber("%.3f", us / 1000); }

}  // namespace

void writeTextReport(const DiagLog& log, const std::string& source, size_t top, std::ostream& out) {
    size_t executions = 0;
    for (const auto& g : log.graphs) executions += g.executions.size();
    out << "Diagnostic log " << printable(source) << ": profiling level " << log.profilingLevel << ", " << log.threads
        << (log.threads == 1 ? " thread" : " threads");
    if (log.cut) {
        out << ", run interrupted; " << executions << " executions read";
    } else if (!log.ended) {
        out << ", still open (run not finished)";
    }
    out << "\n";
    out << "Load (container open and build): " << ms(log.loadUs) << " ms\n";
    if (log.wallUs > 0) {
        out << "Run: " << formatNumber("%.3f", log.wallUs / 1e6) << " s from loaded to released, peak resident memory "
            << formatNumber("%.1f", static_cast<double>(log.peakRssBytes) / (1 << 20)) << " MiB\n";
    }
    for (const auto& g : log.graphs) {
        const Latency l = summarize(g);
        out << "\nGraph " << printable(g.name) << ": " << l.count + l.warmups << " executions, activation memory "
            << formatNumber("%.2f", static_cast<double>(g.activationBytes) / (1 << 20)) << " MiB\n";
        if (l.warmups > 0) out << "First execution (warm-up, left out below): " << ms(l.warmupUs) << " ms\n";
        if (l.count == 0) continue;
        out << "Latency (ms): mean " << ms(l.meanUs) << "  p50 " << ms(l.p50Us) << "  p90 " << ms(l.p90Us) << "  p99 "
            << ms(l.p99Us) << "  min " << ms(l.minUs) << "  max " << ms(l.maxUs) << "\n";
        out << "Throughput: " << formatNumber("%.1f", l.wallPerSecond) << " inferences/s of wall-clock time ("
            << formatNumber("%.1f", l.perSecond) << "/s counting execution time alone)\n";
        if (unstable(l)) {
            out << "Unstable run: p99 " << ms(l.p99Us) << " ms and mean " << ms(l.meanUs) << " ms against p50 "
                << ms(l.p50Us) << " ms; other work took part, so the medians below are the figures to quote\n";
        }
        const auto rows = operatorTable(g);
        if (rows.empty()) continue;
        char line[512];
        std::snprintf(line, sizeof line, "\n%-20s %6s %11s %7s\n", "Operator type", "Nodes", "Total ms", "Share");
        out << line;
        for (const auto& t : typeTable(rows)) {
            std::snprintf(line, sizeof line, "%-20s %6zu %11.3f %6.1f%%\n", fit(t.op, 20).c_str(), t.nodes,
                          t.totalUs / 1000, 100 * t.share);
            out << line;
        }
        std::snprintf(line, sizeof line, "\n%-40s %-20s %-28s %-9s %7s %11s %10s %10s %10s %7s\n", "Node", "Type",
                      "Kernel", "Precision", "Calls", "Total ms", "Median us", "Min us", "Mean us", "Share");
        out << line;
        for (size_t i = 0; i < rows.size() && i < top; ++i) {
            const auto& r = rows[i];
            std::snprintf(line, sizeof line, "%-40s %-20s %-28s %-9s %7llu %11.3f %10.2f %10.2f %10.2f %6.1f%%\n",
                          fit(r.node, 40).c_str(), fit(r.op, 20).c_str(), fit(r.kernel.empty() ? "-" : r.kernel, 28).c_str(),
                          fit(r.precision.empty() ? "-" : r.precision, 9).c_str(), static_cast<unsigned long long>(r.calls),
                          r.totalUs / 1000, r.medianUs, r.minUs, r.meanUs, 100 * r.share);
            out << line;
        }
        if (rows.size() > top) out << "(" << rows.size() - top << " more nodes; --top N shows more)\n";
        bool any = false;
        for (size_t i = 0; i < rows.size() && i < top; ++i) {
            const auto& r = rows[i];
            if (r.fused.empty()) continue;
            if (!any) out << "\nFused (they run inside the node named first):\n";
            any = true;
            out << "  " << printable(r.node) << " <- "
                << fusedShort(r.fused, 12, " ", [](const std::string& f) { return printable(f); }) << "\n";
        }
    }
}

}  // namespace diagview
