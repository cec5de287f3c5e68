#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Reports.h"
#include "Summary.h"

namespace diagview {
namespace {

std::string escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

struct Bar {
    std::string label;
    double us = 0;
    double share = 0;
};

// Horizontal bars (the slowest nodes, or operator types), labelled with
// name and share of the execution time.
std::string barChart(const std::vector<Bar>& bars, size_t top) {
    const size_t n = std::min(bars.size(), top);
    if (n == 0) return "";
    const double widest = std::max(bars.front().us, 1e-9);
    const int rowHeight = 22, labelWidth = 300, barWidth = 460;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(labelWidth + barWidth + 120) +
                      "\" height=\"" + std::to_string(rowHeight * static_cast<int>(n) + 10) + "\" role=\"img\">\n";
    for (size_t i = 0; i < n; ++i) {
        const auto& r = bars[i];
        const int y = 5 + rowHeight * static_cast<int>(i);
        const double w = std::max(1.0, barWidth * r.us / widest);
        // Long names keep their end, which tells nodes apart; the whole name is in the bar's title.
        const std::string shown = r.label.size() > 42 ? "..." + r.label.substr(r.label.size() - 39) : r.label;
        svg += "<text x=\"" + std::to_string(labelWidth - 6) + "\" y=\"" + std::to_string(y + 15) +
               "\" text-anchor=\"end\" class=\"label\">" + escape(shown) + "</text>\n";
        svg += "<rect x=\"" + std::to_string(labelWidth) + "\" y=\"" + std::to_string(y + 2) + "\" width=\"" +
               formatNumber("%.1f", w) + "\" height=\"" + std::to_string(rowHeight - 6) + "\" class=\"bar\"><title>" +
               escape(r.label) + ": " + formatNumber("%.3f", r.us / 1000) + " ms</title></rect>\n";
        svg += "<text x=\"" + formatNumber("%.1f", labelWidth + w + 6) + "\" y=\"" + std::to_string(y + 15) +
               "\" class=\"value\">" + formatNumber("%.1f", 100 * r.share) + "%</text>\n";
    }
    return svg + "</svg>\n";
}

// Execution latencies in equal-width bins from the fastest on. A few slow
// outliers would squeeze every other bar into the first bins, so beyond
// twice the 99th percentile they share the last bin.
std::string latencyHistogram(const GraphLog& g, const Latency& latency) {
    if (g.executions.empty()) return "";
    const double lo = latency.minUs;
    const bool clipped = latency.maxUs > 2 * latency.p99Us;
    const double hi = clipped ? 2 * latency.p99Us : latency.maxUs;
    const int bins = 30;
    std::vector<int> counts(bins, 0);
    const double width = hi > lo ? (hi - lo) / bins : 1;
    for (const auto& e : g.executions) {
        if (!e.warmup) counts[static_cast<int>(std::max(0.0, std::min<double>(bins - 1, (e.totalUs - lo) / width)))]++;
    }
    const int most = *std::max_element(counts.begin(), counts.end());
    const int chartWidth = 720, chartHeight = 180, left = 60, bottom = 48;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(chartWidth + left + 20) +
                      "\" height=\"" + std::to_string(chartHeight + bottom + 10) + "\" role=\"img\">\n";
    const double bw = static_cast<double>(chartWidth) / bins;
    for (int b = 0; b < bins; ++b) {
        const double h = most > 0 ? static_cast<double>(chartHeight) * counts[b] / most : 0;
        svg += "<rect x=\"" + formatNumber("%.1f", left + b * bw + 1) + "\" y=\"" + formatNumber("%.1f", 10 + chartHeight - h) +
               "\" width=\"" + formatNumber("%.1f", bw - 2) + "\" height=\"" + formatNumber("%.1f", h) + "\" class=\"bar\"><title>" +
               formatNumber("%.3f", (lo + b * width) / 1000) + "-" + formatNumber("%.3f", (lo + (b + 1) * width) / 1000) + " ms: " +
               std::to_string(counts[b]) + "</title></rect>\n";
    }
    const int axis = 10 + chartHeight;
    auto line = [](double x1, double y1, double x2, double y2) {
        return "<line x1=\"" + formatNumber("%.1f", x1) + "\" y1=\"" + formatNumber("%.1f", y1) + "\" x2=\"" +
               formatNumber("%.1f", x2) + "\" y2=\"" + formatNumber("%.1f", y2) + "\" class=\"axis\"/>\n";
    };
    auto text = [](double x, double y, const char* anchor, const std::string& t) {
        return "<text x=\"" + formatNumber("%.1f", x) + "\" y=\"" + formatNumber("%.1f", y) + "\" text-anchor=\"" +
               anchor + "\" class=\"label\">" + t + "</text>\n";
    };
    svg += line(left, axis, left + chartWidth, axis) + line(left, 10, left, axis);
    // Five ticks along the time axis, three along the count axis.
    for (int t = 0; t <= 4; ++t) {
        const double x = left + chartWidth * t / 4.0;
        svg += line(x, axis, x, axis + 5) + text(x, axis + 18, t == 0 ? "start" : t == 4 ? "end" : "middle",
                                                 formatNumber("%.3f", (lo + (hi - lo) * t / 4) / 1000));
    }
    for (int t = 0; t <= 2; ++t) {
        const double y = axis - chartHeight * t / 2.0;
        svg += line(left - 5, y, left, y) + text(left - 8, y + 4, "end", formatNumber("%.0f", most * t / 2.0));
    }
    svg += text(left + chartWidth / 2.0, axis + 38, "middle",
                std::string("latency of one execution (ms)") +
                    (clipped ? "; the last bar takes everything up to " + formatNumber("%.3f", latency.maxUs / 1000) + " ms"
                             : ""));
    svg += "<text transform=\"translate(14," + std::to_string(10 + chartHeight / 2) +
           ") rotate(-90)\" text-anchor=\"middle\" class=\"label\">executions</text>\n";
    return svg + "</svg>\n";
}

}  // namespace

void writeHtmlReport(const DiagLog& log, const std::string& source, size_t top, std::ostream& out) {
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>VEXA diagnostic report</title>\n"
           "<style>body{font-family:sans-serif;margin:2em;color:#222}table{border-collapse:collapse;margin:1em 0}"
           "td,th{padding:3px 10px;border-bottom:1px solid #ddd;text-align:right}td:first-child,td:nth-child(2),"
           "th:first-child,th:nth-child(2),td:nth-child(3),th:nth-child(3),td:nth-child(4),th:nth-child(4),"
           "td:nth-child(9),th:nth-child(9){text-align:left}.bar{fill:#3b7dd8}.axis{stroke:#555}"
           ".label,.value{font-size:12px;fill:#333}h2{margin-top:1.5em}.figures td{text-align:left}</style>\n"
           "</head><body>\n<h1>VEXA diagnostic report</h1>\n";
    out << "<p>" << escape(source) << ": profiling level " << log.profilingLevel << ", " << log.threads
        << (log.threads == 1 ? " thread" : " threads") << ", load (container open and build) "
        << formatNumber("%.3f", log.loadUs / 1000) << " ms" << (log.ended ? "" : " &mdash; the run had not finished") << "</p>\n";
    for (const auto& g : log.graphs) {
        const Latency l = summarize(g);
        out << "<h2>Graph " << escape(g.name) << "</h2>\n<table class=\"figures\">\n";
        out << "<tr><td>Executions</td><td>" << l.count + l.warmups << "</td></tr>\n";
        if (l.warmups > 0) {
            out << "<tr><td>First execution (warm-up, left out below)</td><td>" << formatNumber("%.3f", l.warmupUs / 1000)
                << " ms</td></tr>\n";
        }
        out << "<tr><td>Activation memory</td><td>" << formatNumber("%.2f", static_cast<double>(g.activationBytes) / (1 << 20))
            << " MiB</td></tr>\n";
        if (l.count != 0) {
            out << "<tr><td>Latency</td><td>mean " << formatNumber("%.3f", l.meanUs / 1000) << " ms, p50 "
                << formatNumber("%.3f", l.p50Us / 1000) << ", p90 " << formatNumber("%.3f", l.p90Us / 1000) << ", p99 "
                << formatNumber("%.3f", l.p99Us / 1000) << ", min " << formatNumber("%.3f", l.minUs / 1000) << ", max "
                << formatNumber("%.3f", l.maxUs / 1000) << " ms</td></tr>\n";
            out << "<tr><td>Throughput</td><td>" << formatNumber("%.1f", l.wallPerSecond)
                << " inferences/s of wall-clock time (" << formatNumber("%.1f", l.perSecond)
                << "/s counting execution time alone)</td></tr>\n";
            if (unstable(l)) {
                out << "<tr><td>Unstable run</td><td>p99 and mean far above p50: other work took part; quote the "
                       "medians</td></tr>\n";
            }
        }
        out << "</table>\n";
        if (l.count == 0) continue;
        const auto rows = operatorTable(g);
        std::vector<Bar> types, nodes;
        for (const auto& t : typeTable(rows)) {
            types.push_back({t.op + " (" + std::to_string(t.nodes) + (t.nodes == 1 ? " node)" : " nodes)"), t.totalUs, t.share});
        }
        for (const auto& r : rows) nodes.push_back({r.node + " (" + r.op + ")", r.totalUs, r.share});
        out << "<h3>Time by operator type</h3>\n" << barChart(types, types.size());
        out << "<h3>Slowest nodes</h3>\n" << barChart(nodes, top);
        out << "<h3>Latency histogram</h3>\n" << latencyHistogram(g, l);
        out << "<h3>Per node</h3>\n<table><tr><th>Node</th><th>Type</th><th>Kernel</th><th>Precision</th><th>Calls</th>"
               "<th>Total ms</th><th>Median &micro;s</th><th>Min &micro;s</th><th>Mean &micro;s</th><th>Share</th>"
               "<th>Fused into it</th></tr>\n";
        for (size_t i = 0; i < rows.size() && i < top; ++i) {
            const auto& r = rows[i];
            const std::string fused = fusedShort(r.fused, 12, ", ", escape);
            out << "<tr><td>" << escape(r.node) << "</td><td>" << escape(r.op) << "</td><td>" << escape(r.kernel)
                << "</td><td>" << escape(r.precision) << "</td><td>" << r.calls << "</td><td>"
                << formatNumber("%.3f", r.totalUs / 1000) << "</td><td>" << formatNumber("%.2f", r.medianUs) << "</td><td>"
                << formatNumber("%.2f", r.minUs) << "</td><td>" << formatNumber("%.2f", r.meanUs) << "</td><td>"
                << formatNumber("%.1f", 100 * r.share) << "%</td><td>" << fused << "</td></tr>\n";
        }
        out << "</table>\n";
    }
    out << "</body></html>\n";
}

}  // namespace diagview
