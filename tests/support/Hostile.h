// The fixture of the hostile-input suites: each case runs the tool (or a
// companion) in a fresh directory under a time and memory bound.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "support/Models.h"
#include "support/Subprocess.h"

namespace fs = std::filesystem;

// Every case runs under these bounds; a sanitizer build cannot take an
// address-space limit, so its peak resident memory is checked instead.
constexpr uint64_t kMemoryLimit = uint64_t{1} << 30;
constexpr double kTimeout = 30;

class Hostile : public ::testing::Test {
protected:
    TempDir dir;

    ProcessResult exec(const std::string& program, const std::vector<std::string>& args,
                       std::vector<std::pair<std::string, std::string>> env = {}) {
        ProcessOptions options;
        options.workingDirectory = dir.path();
        options.env = std::move(env);
        options.memoryLimitBytes = kMemoryLimit;
        options.timeoutSeconds = kTimeout;
        ProcessResult r = runProcess(program, args, options);
        EXPECT_FALSE(r.timedOut) << "hung: " << args.size() << " arguments, first " << (args.empty() ? "" : args[0]);
        EXPECT_LT(r.peakRssBytes, sanitizedBuild() ? 3 * kMemoryLimit / 2 : kMemoryLimit);
        EXPECT_NE(r.status, 134) << r.err;
        return r;
    }
    ProcessResult tool(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env = {}) {
        return exec(VEXA_TOOL_PATH, args, std::move(env));
    }
    ProcessResult run(const std::string& container, const std::string& list, std::vector<std::string> extra = {},
                      std::vector<std::pair<std::string, std::string>> env = {}) {
        std::vector<std::string> args = {"--container", container, "--input_list", list, "--output_dir", "out"};
        args.insert(args.end(), extra.begin(), extra.end());
        return tool(args, std::move(env));
    }
    // A one-input model y = 2x + 1 of `n` elements, its container and a list of one input.
    void simple(const std::string& output = "y", int64_t n = 4) {
        const OnnxBuilder m = affineModel("m", {1, n}, 2, 1, "x", output);
        packContainer(dir.file("m.dlc"), {{"m", &m}});
        dir.write("one.raw", floatsToBytes(std::vector<float>(static_cast<size_t>(n), 1.0f)));
        dir.write("list.txt", "one.raw\n");
    }
    std::string fifo(const std::string& name) {
        const std::string path = dir.file(name);
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        return path;
    }
    // Everything under the temporary directory, for "nothing else was written".
    std::set<std::string> tree() {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) names.insert(e.path().string());
        return names;
    }
};

struct ZipEntry {
    std::string name;
    std::string data;
};

// An archive written with libzip directly, so that entries can be anything.
inline std::string zipBytes(const std::vector<ZipEntry>& entries) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_source_keep(buffer);
    zip_t* z = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    for (const auto& e : entries) {
        zip_source_t* s = zip_source_buffer(z, e.data.data(), e.data.size(), 0);
        zip_file_add(z, e.name.c_str(), s, 0);
    }
    zip_close(z);
    zip_source_open(buffer);
    zip_source_seek(buffer, 0, SEEK_END);
    std::string bytes(static_cast<size_t>(zip_source_tell(buffer)), '\0');
    zip_source_seek(buffer, 0, SEEK_SET);
    zip_source_read(buffer, bytes.data(), bytes.size());
    zip_source_close(buffer);
    zip_source_free(buffer);
    // The "version needed" the tool looks for in a buffer, in both headers
    // of every entry so that the archive stays consistent.
    for (size_t at = 0; (at = bytes.find("PK", at)) != std::string::npos; ++at) {
        if (bytes.compare(at, 4, "PK\x03\x04") == 0) bytes[at + 4] = 45;
        if (bytes.compare(at, 4, "PK\x01\x02") == 0) bytes[at + 6] = 45;
    }
    return bytes;
}

inline std::string manifestFor(const std::vector<std::pair<std::string, std::string>>& graphs) {
    nlohmann::json g = nlohmann::json::array();
    for (const auto& [name, file] : graphs) g.push_back({{"name", name}, {"file", file}});
    return nlohmann::json{{"format", "vexa-dlc"}, {"version", 1}, {"graphs", g}}.dump();
}

