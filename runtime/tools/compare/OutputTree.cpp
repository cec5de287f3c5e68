#include "OutputTree.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace vexart {
namespace fs = std::filesystem;
namespace {

// Regular ".raw" files under `root`, keyed by their path relative to it.
// Symbolic links to directories are not followed, so a loop cannot hang it.
std::map<std::string, std::string> rawFiles(const fs::path& root) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, ec), end;
    if (ec) throw std::runtime_error("cannot read " + root.string() + ": " + ec.message());
    for (; it != end; it.increment(ec)) {
        if (ec) throw std::runtime_error("cannot read " + root.string() + ": " + ec.message());
        const fs::path& p = it->path();
        if (p.extension() != ".raw" || !it->is_regular_file(ec)) continue;
        std::string key = fs::relative(p, root, ec).generic_string();
        key.resize(key.size() - 4);
        files[key] = p.string();
    }
    return files;
}

// N of a directory named "Result_N".
bool resultIndex(const std::string& name, uint64_t& n) {
    const std::string prefix = "Result_";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 18 || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    n = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        n = n * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    return true;
}

}  // namespace

OutputTree readOutputTree(const std::string& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) throw std::runtime_error(dir + " is not a directory");
    OutputTree tree;
    std::map<uint64_t, std::string> names;
    for (fs::directory_iterator it(dir, ec), end; it != end; it.increment(ec)) {
        uint64_t n = 0;
        const std::string name = it->path().filename().string();
        if (it->is_directory(ec) && !it->is_symlink(ec) && resultIndex(name, n)) {
            // Result_7 and Result_07 would be paired with the same result
            // of the other side, and one of them silently left out.
            const auto [seen, fresh] = names.emplace(n, name);
            if (!fresh) {
                throw std::runtime_error(dir + " holds both " + seen->second + " and " + name + " for result " +
                                         std::to_string(n));
            }
            tree.results[n] = rawFiles(it->path());
        }
    }
    if (ec) throw std::runtime_error("cannot read " + dir + ": " + ec.message());
    if (tree.results.empty()) {
        tree.flat = true;
        tree.results[0] = rawFiles(dir);
    }
    return tree;
}

}  // namespace vexart
