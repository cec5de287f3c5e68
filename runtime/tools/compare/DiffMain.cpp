// vexa-dlc-diff: compares the raw outputs of a run with a reference (another
// run's output directory, or a directory of reference files) tensor by
// tensor, and can gate a CI job on tolerances.
//
//   vexa-dlc-diff [--max-abs-error X] [--min-cosine X] [--min-sqnr DB] [--min-top1 F] OUTPUT_DIR REFERENCE_DIR
//
// Exit status: 0 within every tolerance given, 1 when a tensor is not (or is
// missing, or differs in size) or a file cannot be read, 2 for a usage error.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "Compare.h"
#include "FailureText.h"

namespace {

int usage() {
    std::cerr << "usage: vexa-dlc-diff [--max-abs-error X] [--min-cosine X] [--min-sqnr DB] [--min-top1 F] "
                 "OUTPUT_DIR REFERENCE_DIR\n";
    return 2;
}

bool number(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(out);
}

std::string shown(double v, const char* format) {
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    vexart::Tolerances tol;
    std::vector<std::string> dirs;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::optional<double>* target = a == "--max-abs-error" ? &tol.maxAbs
                                        : a == "--min-cosine"  ? &tol.minCosine
                                        : a == "--min-sqnr"    ? &tol.minSqnrDb
                                        : a == "--min-top1"    ? &tol.minTop1
                                                               : nullptr;
        if (target != nullptr) {
            double v = 0;
            if (i + 1 >= argc || !number(argv[++i], v)) return usage();
            *target = v;
        } else if (a.rfind("-", 0) == 0 || dirs.size() == 2) {
            return usage();
        } else {
            dirs.push_back(a);
        }
    }
    if (dirs.size() != 2) return usage();
    try {
        const auto reports = vexart::compareTrees(vexart::readOutputTree(dirs[0]), vexart::readOutputTree(dirs[1]));
        if (reports.empty()) throw std::runtime_error("no .raw files in either directory");
        std::printf("%-32s %7s %11s %11s %9s %9s %7s  %s\n", "tensor", "results", "max_abs", "mean_abs", "cosine",
                    "sqnr_db", "top1", "verdict");
        size_t failed = 0;
        for (const auto& r : reports) {
            const std::string why = vexart::toleranceFailure(r, tol);
            failed += why.empty() ? 0 : 1;
            const auto& s = r.stats;
            const std::string top1 = r.top1Total == 0 ? "-" : std::to_string(r.top1Agree) + "/" + std::to_string(r.top1Total);
            std::printf("%-32s %7llu %11s %11s %9s %9s %7s  %s\n", r.tensor.c_str(),
                        static_cast<unsigned long long>(r.results), shown(s.maxAbsError(), "%.4g").c_str(),
                        shown(s.meanAbs(), "%.4g").c_str(), shown(s.cosine(), "%.6f").c_str(),
                        shown(s.sqnrDb(), "%.2f").c_str(), top1.c_str(), why.empty() ? "ok" : why.c_str());
        }
        std::printf("%zu of %zu tensor(s) outside the tolerances\n", failed, reports.size());
        return failed == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "vexa-dlc-diff: " << vexart::failureText(e) << "\n";
        return 1;
    }
}
