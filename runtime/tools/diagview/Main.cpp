// vexa-diagview: reads the diagnostic log a run leaves in its output
// directory and shows where the time went.
//
//   vexa-diagview [--top N] [--chrome-trace FILE] [--html FILE] LOG
#include <fstream>
#include <iostream>
#include <string>

#include "DiagLogFile.h"
#include "Reports.h"
#include "FailureText.h"

namespace {

int usage() {
    std::cerr << "usage: vexa-diagview [--top N] [--chrome-trace FILE] [--html FILE] OUTPUT_DIR/VEXADiag.log\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string logPath, tracePath, htmlPath;
    size_t top = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--top" || a == "--chrome-trace" || a == "--html") && i + 1 < argc) {
            const std::string v = argv[++i];
            if (a == "--top") {
                if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 9) return usage();
                top = std::stoul(v);
            } else {
                (a == "--html" ? htmlPath : tracePath) = v;
            }
        } else if (a.rfind("-", 0) == 0 || !logPath.empty()) {
            return usage();
        } else {
            logPath = a;
        }
    }
    if (logPath.empty()) return usage();
    try {
        const diagview::DiagLog log = diagview::readDiagLogFile(logPath);
        diagview::writeTextReport(log, logPath, top, std::cout);
        auto writeTo = [&](const std::string& path, auto write) {
            std::ofstream out(path, std::ios::binary);
            write(out);
            out.close();
            if (!out) throw std::runtime_error("cannot write " + path);
            std::cout << "Wrote " << path << "\n";
        };
        if (!tracePath.empty()) {
            writeTo(tracePath, [&](std::ostream& o) { diagview::writeChromeTrace(log, o); });
        }
        if (!htmlPath.empty()) {
            writeTo(htmlPath, [&](std::ostream& o) { diagview::writeHtmlReport(log, logPath, top, o); });
        }
    } catch (const std::exception& e) {
        std::cerr << "vexa-diagview: " << vexart::failureText(e) << "\n";
        return 1;
    }
    return 0;
}
