#include "Compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>

namespace vexart {
namespace {

constexpr size_t kChunk = 1 << 16;  // floats per read

struct RawFile {
    std::ifstream in;
    uint64_t bytes = 0;
    explicit RawFile(const std::string& path) : in(path, std::ios::binary | std::ios::ate) {
        if (!in) throw std::runtime_error("cannot read " + path);
        bytes = static_cast<uint64_t>(in.tellg());
        in.seekg(0);
    }
};

// Largest element of each row of both sides, over whole files: `inner` > 1
// puts a row's classes apart, which streaming in order cannot follow.
void stridedTop1(const std::string& outPath, const std::string& refPath, const ClassRows& rows, TensorReport& r) {
    const uint64_t n = rows.outer * rows.classes * rows.inner;
    std::vector<float> a(n), b(n);
    RawFile out(outPath), ref(refPath);
    out.in.read(reinterpret_cast<char*>(a.data()), static_cast<std::streamsize>(n * 4));
    ref.in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n * 4));
    if (!out.in || !ref.in) throw std::runtime_error("cannot read " + (out.in ? refPath : outPath));
    std::vector<float> x(rows.classes), y(rows.classes);
    for (uint64_t o = 0; o < rows.outer; ++o) {
        for (uint64_t i = 0; i < rows.inner; ++i) {
            for (uint64_t c = 0; c < rows.classes; ++c) {
                x[c] = a[(o * rows.classes + c) * rows.inner + i];
                y[c] = b[(o * rows.classes + c) * rows.inner + i];
            }
            ArgMax outMax, refMax;
            outMax.add(x.data(), x.size());
            refMax.add(y.data(), y.size());
            ++r.top1Total;
            if (outMax.found && refMax.found && outMax.index == refMax.index) ++r.top1Agree;
        }
    }
}

// Streams both files through the measures; false (with `why`) when they
// cannot be compared element by element.
bool comparePair(const std::string& outPath, const std::string& refPath, TensorReport& r, std::string& why,
                 const std::vector<int64_t>* shape, std::optional<int64_t> classesAxis) {
    RawFile out(outPath), ref(refPath);
    if (out.bytes != ref.bytes || out.bytes % 4 != 0) {
        why = "sizes differ: " + std::to_string(out.bytes) + " and " + std::to_string(ref.bytes) + " bytes";
        if (out.bytes == ref.bytes) why = "size " + std::to_string(out.bytes) + " is not a whole number of floats";
        return false;
    }
    const uint64_t elements = out.bytes / 4;
    if (shape != nullptr) {
        // A declared shape of another size is another model's (or another
        // run's shapes): its axes say nothing about these files.
        uint64_t declared = 1;
        for (const int64_t d : *shape) declared *= static_cast<uint64_t>(std::max<int64_t>(d, 0));
        if (declared != elements) {
            r.note = "the container declares " + std::to_string(declared) + " elements, the files hold " +
                     std::to_string(elements) + ": no top-1 from its shape";
            shape = nullptr;
            classesAxis = std::nullopt;
        }
    }
    ClassRows rows;
    const bool top1 = classRows(elements, shape, classesAxis, rows);
    const bool streamed = top1 && rows.inner == 1;
    if (top1 && !streamed) stridedTop1(outPath, refPath, rows, r);
    std::vector<float> a(kChunk), b(kChunk);
    ArgMax outMax, refMax;
    uint64_t inRow = 0;  // classes of the current row seen so far
    for (uint64_t done = 0; done < elements;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, elements - done));
        out.in.read(reinterpret_cast<char*>(a.data()), static_cast<std::streamsize>(n * 4));
        ref.in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n * 4));
        if (!out.in || !ref.in) throw std::runtime_error("cannot read " + (out.in ? refPath : outPath));
        r.stats.add(b.data(), a.data(), n);
        // Rows follow one another: each piece of the chunk up to a row's end.
        for (size_t at = 0; streamed && at < n;) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(rows.classes - inRow, n - at));
            outMax.add(a.data() + at, take);
            refMax.add(b.data() + at, take);
            at += take;
            inRow += take;
            if (inRow == rows.classes) {
                ++r.top1Total;
                if (outMax.found && refMax.found && outMax.index == refMax.index) ++r.top1Agree;
                outMax = ArgMax{};
                refMax = ArgMax{};
                inRow = 0;
            }
        }
        done += n;
    }
    ++r.results;
    return true;
}

}  // namespace

std::string outputKey(const std::string& tensorName) {
    std::string key;
    for (size_t start = 0; start <= tensorName.size();) {
        size_t end = tensorName.find('/', start);
        if (end == std::string::npos) end = tensorName.size();
        std::string part = tensorName.substr(start, end - start);
        start = end + 1;
        for (char& c : part) {
            if (std::string("<>\"\\|?:*").find(c) != std::string::npos) c = '_';
        }
        if (part.empty() || part == ".") continue;  // the file system folds these away
        if (part == "..") part = "__";
        key += (key.empty() ? "" : "/") + part;
    }
    return key;
}

bool classRows(uint64_t elements, const std::vector<int64_t>* shape, std::optional<int64_t> axis, ClassRows& rows) {
    if (shape == nullptr) {
        rows = {1, elements, 1};
        return elements > 1 && elements <= kTop1MaxElements;
    }
    const auto rank = static_cast<int64_t>(shape->size());
    int64_t k = -1;
    if (axis) {
        k = *axis < 0 ? *axis + rank : *axis;
        if (k < 0 || k >= rank) return false;
    } else {
        // The last axis longer than 1, but never a batch axis alone: [2, 1]
        // is two rows of one class, not two classes.
        for (int64_t i = rank; i-- > (rank > 1 ? 1 : 0);) {
            if ((*shape)[static_cast<size_t>(i)] > 1) {
                k = i;
                break;
            }
        }
        if (k < 0) return false;
        // Rows along a batch axis and one sequence axis at most: a feature
        // map's other axes are no rows of classes.
        int64_t others = 0;
        for (int64_t i = 1; i < rank; ++i) others += i != k && (*shape)[static_cast<size_t>(i)] > 1 ? 1 : 0;
        if (others > 1) return false;
    }
    rows = {1, static_cast<uint64_t>((*shape)[static_cast<size_t>(k)]), 1};
    for (int64_t i = 0; i < rank; ++i) {
        if (i < k) rows.outer *= static_cast<uint64_t>((*shape)[static_cast<size_t>(i)]);
        if (i > k) rows.inner *= static_cast<uint64_t>((*shape)[static_cast<size_t>(i)]);
    }
    // Whole rows are read at once where their classes lie apart.
    const bool fits = rows.inner == 1 || elements <= (uint64_t{1} << 24);
    return rows.classes > 1 && rows.classes <= kTop1MaxElements && fits;
}

std::vector<TensorReport> compareTrees(const OutputTree& out, const OutputTree& ref, const TensorShapes& shapes,
                                       std::optional<int64_t> classesAxis) {
    std::map<std::string, TensorReport> reports;
    auto report = [&](const std::string& tensor) -> TensorReport& {
        TensorReport& r = reports[tensor];
        r.tensor = tensor;
        return r;
    };
    auto label = [](uint64_t n) { return "Result_" + std::to_string(n); };
    for (const auto& [n, outFiles] : out.results) {
        const auto refResult = ref.flat ? ref.results.find(0) : ref.results.find(n);
        if (refResult == ref.results.end()) {
            for (const auto& [tensor, path] : outFiles) report(tensor).problems.push_back(label(n) + " has no reference");
            continue;
        }
        for (const auto& [tensor, path] : outFiles) {
            const auto refFile = refResult->second.find(tensor);
            if (refFile == refResult->second.end()) {
                report(tensor).problems.push_back(label(n) + ": not in the reference");
                continue;
            }
            std::string why;
            const auto shape = shapes.find(tensor);
            if (!comparePair(path, refFile->second, report(tensor), why, shape != shapes.end() ? &shape->second : nullptr,
                             classesAxis)) {
                report(tensor).problems.push_back(label(n) + ": " + why);
            }
        }
        for (const auto& [tensor, path] : refResult->second) {
            if (outFiles.count(tensor) == 0) report(tensor).problems.push_back(label(n) + ": missing");
        }
    }
    if (!ref.flat) {
        for (const auto& [n, refFiles] : ref.results) {
            if (out.results.count(n) != 0) continue;
            for (const auto& [tensor, path] : refFiles) report(tensor).problems.push_back(label(n) + ": missing");
        }
    }
    std::vector<TensorReport> all;
    for (auto& [tensor, r] : reports) all.push_back(std::move(r));
    return all;
}

std::string toleranceFailure(const TensorReport& r, const Tolerances& t) {
    if (!r.problems.empty()) return r.problems.front();
    if (r.results == 0) return "nothing compared";
    char buf[160];
    const ErrorStats& s = r.stats;
    const bool gated = t.maxAbs || t.minCosine || t.minSqnrDb || t.minTop1;
    if (gated && s.nonFinite != 0) return std::to_string(s.nonFinite) + " non-finite values where the other side differs";
    // Empty files, or NaN on both sides throughout: no figure was measured.
    if (gated && s.finite == 0) return "no finite values to compare";
    if (t.maxAbs && s.maxAbs > *t.maxAbs) {
        std::snprintf(buf, sizeof buf, "max abs error %g > %g", s.maxAbs, *t.maxAbs);
        return buf;
    }
    if (t.minCosine && !(s.cosine() >= *t.minCosine)) {
        std::snprintf(buf, sizeof buf, "cosine %.6f < %g", s.cosine(), *t.minCosine);
        return buf;
    }
    if (t.minSqnrDb && !(s.sqnrDb() >= *t.minSqnrDb)) {
        std::snprintf(buf, sizeof buf, "SQNR %.2f dB < %g dB", s.sqnrDb(), *t.minSqnrDb);
        return buf;
    }
    if (t.minTop1 && r.top1Total != 0 &&
        static_cast<double>(r.top1Agree) < *t.minTop1 * static_cast<double>(r.top1Total)) {
        std::snprintf(buf, sizeof buf, "top-1 agreement %llu/%llu < %g", static_cast<unsigned long long>(r.top1Agree),
                      static_cast<unsigned long long>(r.top1Total), *t.minTop1);
        return buf;
    }
    return {};
}

}  // namespace vexart
