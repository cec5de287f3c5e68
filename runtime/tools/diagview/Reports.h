// The three views of a diagnostic log.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "DiagLogFile.h"

namespace diagview {

// `value` as compact JSON text; names come from the model, so bytes that
// are not UTF-8 are replaced, not fatal.
std::string jsonText(const nlohmann::json& value);

// A fused list as a JSON array of its names, built a name at a time.
std::string fusedJson(const std::string& list);

// At most `most` names of a fused list, joined by `separator` and each
// passed through `shown`, then how many more there are.
template <typename F>
std::string fusedShort(const std::string& list, size_t most, const char* separator, F shown) {
    std::string text;
    size_t count = 0;
    forEachFused(list, [&](const std::string& name) {
        if (count++ < most) text += (count == 1 ? "" : separator) + shown(name);
        return true;
    });
    if (count > most) text += std::string(separator) + "and " + std::to_string(count - most) + " more";
    return text;
}

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
