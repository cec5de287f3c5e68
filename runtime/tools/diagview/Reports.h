// The three views of a diagnostic log.
#pragma once

#include <ostream>
#include <string>

#include "DiagLogFile.h"

namespace diagview {

// Load time, latency statistics, throughput and the slowest `top` nodes per graph.
void writeTextReport(const DiagLog& log, const std::string& source, size_t top, std::ostream& out);

// Chrome trace-event JSON: the load, one slice per execution, nested slices
// per node; streamed, one event at a time.
void writeChromeTrace(const DiagLog& log, std::ostream& out);

// Everything the text report shows, as JSON.
void writeJsonReport(const DiagLog& log, const std::string& source, std::ostream& out);

// One self-contained HTML page: the same figures, a bar chart of the
// slowest nodes and a latency histogram per graph, as inline SVG.
void writeHtmlReport(const DiagLog& log, const std::string& source, size_t top, std::ostream& out);

}  // namespace diagview
