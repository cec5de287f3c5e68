// Arbitrary bytes read as a diagnostic log; what reads is reported in every view.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "DiagLogFile.h"
#include "Reports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        const diagview::DiagLog log = diagview::readDiagLog(in);
        std::ostringstream sink;
        diagview::writeTextReport(log, "fuzz", 20, sink);
        diagview::writeChromeTrace(log, sink);
        diagview::writeJsonReport(log, "fuzz", sink);
        diagview::writeHtmlReport(log, "fuzz", 20, sink);
    } catch (const diagview::DiagLogError&) {
    }
    return 0;
}
