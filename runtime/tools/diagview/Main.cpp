// vexa-diagview: reads the diagnostic log a run leaves in its output
// directory and shows where the time went.
//
//   vexa-diagview [--top N] [--chrome-trace FILE] [--html FILE] LOG
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "DiagLogFile.h"
#include "Reports.h"
#include "FailureText.h"
#include "Printable.h"
#include "ToolUsage.h"

namespace {

int usage(bool asked = false) {
    return printUsage(
        "usage: vexa-diagview [--top N] [--chrome-trace FILE] [--html FILE] [--json FILE] OUTPUT_DIR[/VEXADiag.log]\n"
           "Shows where the time of a run went, from the diagnostic log in its output directory.\n"
           "  --top N              the N slowest nodes (default 20)\n"
           "  --chrome-trace FILE  a timeline for Perfetto or chrome://tracing\n"
           "  --html FILE          one self-contained page with the figures and charts\n"
           "  --json FILE          every figure of the text report as JSON\n"
           "The first execution of each graph is its warm-up, shown apart from the figures.\n", asked);
}

}  // namespace

int main(int argc, char** argv) {
    std::string logPath, tracePath, htmlPath, jsonPath;
    size_t top = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") return usage(true);
        if ((a == "--top" || a == "--chrome-trace" || a == "--html" || a == "--json") && i + 1 < argc) {
            const std::string v = argv[++i];
            if (a == "--top") {
                if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 9) return usage();
                top = std::stoul(v);
            } else {
                (a == "--html" ? htmlPath : a == "--json" ? jsonPath : tracePath) = v;
            }
        } else if (a.rfind("-", 0) == 0 || !logPath.empty()) {
            return usage();
        } else {
            logPath = a;
        }
    }
    if (logPath.empty()) return usage();
    // A run's output directory stands for the log it holds.
    struct stat st {};
    if (stat(logPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) logPath += "/VEXADiag.log";
    // A report written over the log it reads would lose the log, and two
    // reports into one file the first; refused before anything is read.
    std::vector<std::string> files = {logPath};
    for (const std::string* path : {&tracePath, &jsonPath, &htmlPath}) {
        if (path->empty()) continue;
        for (const auto& name : files) {
            std::error_code ec;
            const bool same = std::filesystem::equivalent(name, *path, ec) ||
                              std::filesystem::absolute(name, ec).lexically_normal() ==
                                  std::filesystem::absolute(*path, ec).lexically_normal();
            if (same) {
                std::cerr << "vexa-diagview: " << vexart::printable(*path) << " is " << vexart::printable(name)
                          << (name == logPath ? ", the log it reads" : ", already a report of this run") << "\n";
                return 1;
            }
        }
        files.push_back(*path);
    }
    try {
        const diagview::DiagLog log = diagview::readDiagLogFile(logPath);
        diagview::writeTextReport(log, logPath, top, std::cout);
        // Written beside the target and renamed over it: a report that
        // fails midway leaves neither half a file nor a lost earlier one.
        auto writeTo = [&](const std::string& path, auto write) {
            std::string partial = path + ".partial-XXXXXX";
            const int fd = mkstemp(partial.data());
            if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
            const mode_t mask = umask(0);
            umask(mask);
            fchmod(fd, 0666 & ~mask);  // a report, not a secret: mkstemp's 0600 would stay after the rename
            close(fd);
            std::ofstream out(partial, std::ios::binary);
            try {
                write(out);
            } catch (...) {
                out.close();
                std::remove(partial.c_str());
                throw;
            }
            out.close();
            if (!out || std::rename(partial.c_str(), path.c_str()) != 0) {
                const std::string why = std::strerror(errno);
                std::remove(partial.c_str());
                throw std::runtime_error("cannot write " + path + ": " + why);
            }
            std::cout << "Wrote " << vexart::printable(path) << "\n";
        };
        if (!tracePath.empty()) {
            writeTo(tracePath, [&](std::ostream& o) { diagview::writeChromeTrace(log, o); });
        }
        if (!jsonPath.empty()) {
            writeTo(jsonPath, [&](std::ostream& o) { diagview::writeJsonReport(log, logPath, o); });
        }
        if (!htmlPath.empty()) {
            writeTo(htmlPath, [&](std::ostream& o) { diagview::writeHtmlReport(log, logPath, top, o); });
        }
    } catch (const std::exception& e) {
        std::cerr << "vexa-diagview: " << vexart::printable(vexart::failureText(e), std::string::npos) << "\n";
        return 1;
    }
    return 0;
}
