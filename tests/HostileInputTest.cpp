// The tool and its companion tools handed careless or hostile input: every
// case ends with its message and status 1 (or succeeds harmlessly) within a
// time and memory bound, writes nothing outside the output directory, and
// leaves the user's files as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <nlohmann/json.hpp>

#include "Container.h"
#include "support/Hostile.h"
#include "support/Models.h"
#include "support/Subprocess.h"

namespace {

// Sets the uncompressed size of every ZIP header of `name` to `size`.
void forgeDeclaredSize(std::string& zipData, const std::string& name, uint32_t size) {
    auto put32 = [&](size_t at) {
        for (int i = 0; i < 4; ++i) zipData[at + static_cast<size_t>(i)] = static_cast<char>((size >> (8 * i)) & 0xFF);
    };
    for (size_t at = 0; (at = zipData.find("PK", at)) != std::string::npos; ++at) {
        if (zipData.compare(at, 4, "PK\x03\x04") == 0 && zipData.compare(at + 30, name.size(), name) == 0) put32(at + 22);
        if (zipData.compare(at, 4, "PK\x01\x02") == 0 && zipData.compare(at + 46, name.size(), name) == 0) put32(at + 24);
    }
}

TEST_F(Hostile, OutputNamesStayInsideTheResultDirectory) {
    const std::string absolute = dir.file("abs");
    struct Case {
        std::string output;
        std::string expected;  // relative to out/Result_0
    };
    const std::vector<Case> cases = {
        {"../../escaped", "__/__/escaped.raw"},
        {"a/./b/../../c", "a/b/__/__/c.raw"},
        {absolute, absolute.substr(1) + ".raw"},
        {"..", "__.raw"},
        {"...", "....raw"},  // only whole components are replaced
    };
    for (const auto& mode : std::vector<std::vector<std::string>>{{}, {"--userbuffer_float"}}) {
        for (const auto& c : cases) {
            simple(c.output);
            fs::remove_all(dir.file("out"));
            const ProcessResult r = run("m.dlc", "list.txt", mode);
            ASSERT_EQ(r.status, 0) << c.output << ": " << r.err;
            EXPECT_EQ(bytesToFloats(readFile(dir.file("out/Result_0/" + c.expected))), std::vector<float>(4, 3.0f))
                << c.output;
            EXPECT_FALSE(fs::exists(dir.file("escaped.raw")));
            EXPECT_FALSE(fs::exists(absolute + ".raw"));
            EXPECT_FALSE(fs::exists(dir.file("c.raw")));
        }
    }
}

TEST_F(Hostile, InitCacheKeepsEverythingOfTheContainer) {
    const OnnxBuilder m = affineModel("m", {1, 4}, 2, 1);
    vexart::ContainerModel model;
    model.modelVersion = "v";
    model.graphs.push_back({"m", m.serialize(), {}, "model.onnx"});
    model.manifestText = R"({"vendor": {"calibrated": true}, "graphs": [{"name": "m", "file": "model.onnx", "notes": "keep"}]})";
    model.otherEntries["LICENSE"] = "MIT";
    model.otherEntries["calibration/set.bin"] = std::string(1000, 'c');
    fs::create_directory(dir.file("real"));
    vexart::writeContainer(model, dir.file("real/m.dlc"));
    ASSERT_EQ(chmod(dir.file("real/m.dlc").c_str(), 0640), 0);
    fs::create_symlink("real/m.dlc", dir.file("link.dlc"));
    dir.write("real/m.dlc.tmp", "mine");
    dir.write("link.dlc.tmp", "mine too");
    dir.write("one.raw", floatsToBytes({1, 2, 3, 4}));
    dir.write("list.txt", "one.raw\n");
    const auto before = tree();

    const ProcessResult r = run("link.dlc", "list.txt", {"--enable_init_cache"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Saved container into archive successfully"), std::string::npos);
    EXPECT_TRUE(fs::is_symlink(dir.file("link.dlc")));
    struct stat st {};
    ASSERT_EQ(stat(dir.file("real/m.dlc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(dir.file("real/m.dlc.tmp")), "mine");
    EXPECT_EQ(readFile(dir.file("link.dlc.tmp")), "mine too");
    auto after = tree();
    for (const auto& p : before) after.erase(p);
    after.erase(dir.file("trace.txt"));
    for (const auto& p : after) EXPECT_EQ(p.rfind(dir.file("out"), 0), 0u) << "left behind: " << p;

    const std::string bytes = readFile(dir.file("real/m.dlc"));
    const auto saved = vexart::readContainer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(saved.otherEntries, model.otherEntries);
    ASSERT_EQ(saved.cacheRecords.size(), 1u);
    EXPECT_EQ(saved.graphs.at(0).file, "model.onnx");
    // Graphs are stored as they are (quick to load); other entries deflated.
    zip_error_t error;
    zip_source_t* src = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    zip_t* z = zip_open_from_source(src, ZIP_RDONLY, &error);
    ASSERT_NE(z, nullptr);
    zip_stat_t entry;
    ASSERT_EQ(zip_stat(z, "model.onnx", 0, &entry), 0);
    EXPECT_EQ(entry.comp_method, ZIP_CM_STORE);
    ASSERT_EQ(zip_stat(z, "calibration/set.bin", 0, &entry), 0);
    EXPECT_EQ(entry.comp_method, ZIP_CM_DEFLATE);
    zip_discard(z);
    const auto manifest = nlohmann::json::parse(saved.manifestText);
    EXPECT_EQ(manifest["vendor"]["calibrated"], true);
    EXPECT_EQ(manifest["graphs"][0]["notes"], "keep");
    // The saved container validates its own cache.
    EXPECT_EQ(run("link.dlc", "list.txt", {"--validate_cache"}).status, 0);
}

TEST_F(Hostile, PackerNeverReplacesItsOwnInputsAndValidatesEncodings) {
    const OnnxBuilder m = affineModel("m", {1, 4}, 2, 1);
    const std::string onnx = m.serialize();
    dir.write("a.onnx", onnx);
    dir.write("a.onnx.tmp", "mine");
    ProcessResult r = exec(VEXA_PACK_PATH, {"-o", "a.onnx", "a.onnx"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is also an input"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir.file("a.onnx")), onnx);
    EXPECT_EQ(readFile(dir.file("a.onnx.tmp")), "mine");

    struct Case {
        std::string encoding;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {R"({"bitWidth": 4, "stepSize": 0.1})", "has bit width 4"},
        {R"({"bitWidth": 8, "stepSize": 1e39})", "has step size"},
        {R"({"bitWidth": 8, "stepSize": -0.5})", "has step size"},
        {R"({"bitWidth": 8, "stepSize": "0.1"})", "has step size"},
        {R"({"bitWidth": 8, "stepSize": 0.1, "stepExactly0": 256})", "has stepExactly0 256"},
        {R"(7)", "is not an object"},
    };
    for (const auto& c : cases) {
        dir.write("enc.json", R"({"m": {"x": )" + c.encoding + "}}");
        r = exec(VEXA_PACK_PATH, {"-o", "m.dlc", "--encodings", "enc.json", "a.onnx=m"});
        EXPECT_EQ(r.status, 1) << c.encoding;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.file("m.dlc")));
    }
    dir.write("enc.json", R"({"m": {"x": {"bitWidth": 16, "stepSize": 0.5, "stepExactly0": 65535}}})");
    r = exec(VEXA_PACK_PATH, {"-o", "m.dlc", "--encodings", "enc.json", "a.onnx=m"});
    EXPECT_EQ(r.status, 0) << r.err;
}

// Weights kept beside the model are packed with it; a location outside
// the model's folder, or past the end of its file, is refused.
TEST_F(Hostile, PackerTakesExternalDataFromTheModelsFolderOnly) {
    auto model = [](const std::string& location, const std::string& offset, const std::string& length) {
        OnnxBuilder m("ext");
        m.input("x", {1, 4});
        onnx::TensorProto w;
        w.set_name("w");
        w.set_data_type(onnx::TensorProto::FLOAT);
        w.add_dims(1);
        w.add_dims(4);
        w.set_data_location(onnx::TensorProto::EXTERNAL);
        for (const auto& [k, v] : {std::pair<std::string, std::string>{"location", location}, {"offset", offset}, {"length", length}}) {
            auto* e = w.add_external_data();
            e->set_key(k);
            e->set_value(v);
        }
        m.initializer(w);
        m.node("Add", {"x", "w"}, {"y"});
        m.output("y", {1, 4});
        return m.serialize();
    };
    fs::create_directories(dir.file("model"));
    dir.write("model/w.bin", "pad!" + floatsToBytes({1, 2, 3, 4}));
    dir.write("secret.bin", floatsToBytes({9, 9, 9, 9}));
    dir.write("model/good.onnx", model("w.bin", "4", "16"));
    ProcessResult r = exec(VEXA_PACK_PATH, {"-o", "good.dlc", "model/good.onnx"});
    ASSERT_EQ(r.status, 0) << r.err;
    dir.write("zero.raw", floatsToBytes({0, 0, 0, 0}));
    dir.write("list.txt", "zero.raw\n");
    r = run("good.dlc", "list.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytesToFloats(readFile(dir.file("out/Result_0/y.raw"))), (std::vector<float>{1, 2, 3, 4}));

    struct Case {
        std::string location, offset, length, reason;
    };
    const std::vector<Case> cases = {
        {"../secret.bin", "0", "16", "outside the model's folder"},
        {dir.file("secret.bin"), "0", "16", "outside the model's folder"},
        {"w.bin", "8", "16", "past the end"},
        {"w.bin", "-1", "16", "past the end"},
        {"w.bin", "x", "16", "malformed external offset"},
        {"missing.bin", "0", "16", "cannot read"},
        // Links are resolved first: one inside the folder cannot reach out.
        {"up.bin", "0", "16", "outside the model's folder"},
        {"passwd.bin", "0", "16", "outside the model's folder"},
        {"environ.bin", "0", "0", "outside the model's folder"},
        {"outside/secret.bin", "0", "16", "outside the model's folder"},
    };
    fs::create_symlink("../secret.bin", dir.file("model/up.bin"));
    fs::create_symlink("/etc/passwd", dir.file("model/passwd.bin"));
    fs::create_symlink("/proc/self/environ", dir.file("model/environ.bin"));
    fs::create_directory_symlink(dir.path(), dir.file("model/outside"));
    // A link that stays inside is followed.
    fs::create_symlink("w.bin", dir.file("model/inner.bin"));
    dir.write("model/inner.onnx", model("inner.bin", "4", "16"));
    EXPECT_EQ(exec(VEXA_PACK_PATH, {"-o", "inner.dlc", "model/inner.onnx"}).status, 0);
    for (const auto& c : cases) {
        dir.write("model/bad.onnx", model(c.location, c.offset, c.length));
        r = exec(VEXA_PACK_PATH, {"-o", "bad.dlc", "model/bad.onnx"});
        EXPECT_EQ(r.status, 1) << c.location << " " << c.offset;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.file("bad.dlc")));
    }
}

TEST_F(Hostile, SpecialFilesAreRefusedWithoutHangingOrGrowing) {
    simple();
    const std::string pipe = fifo("pipe");
    fs::create_directory(dir.file("adir"));
    dir.write("pipe-list.txt", pipe + "\n");
    dir.write("zero-list.txt", "/dev/zero\n");
    struct Case {
        std::vector<std::string> args;
        std::string message;
        bool onStdout;
    };
    const std::vector<Case> cases = {
        {{"--container", "adir"}, "Failed to open container adir: not a regular file", false},
        {{"--container", "/dev/zero"}, "Failed to open container /dev/zero: not a regular file", false},
        {{"--container", pipe}, "not a regular file", false},
        {{"--container", "/dev/zero", "--init_from_buffer"}, "Not a valid Dlc Buffer!", true},
        {{"--container", pipe, "--init_from_buffer"}, "Not a valid Dlc Buffer!", true},
        // Pipes and devices are read, to a bound; a FIFO without a writer reads as empty.
        {{"--input_list", "/dev/urandom"}, "Failed to open input file: /dev/urandom (larger than 64 MiB)\n", false},
        {{"--input_list", pipe}, " are not provided in the input list.\n", false},
        {{"--input_list", "/dev/null"}, " are not provided in the input list.\n", false},
        {{"--input_list", "adir"}, "Failed to open input file: adir\n", false},
        {{"--input_list", "pipe-list.txt"}, "Error: invalid input size provided. Please check all raw sizes.\n", false},
        {{"--input_list", "zero-list.txt"}, "Error: invalid input size provided. Please check all raw sizes.\n", false},
        {{"--input_list", "zero-list.txt", "--userbuffer_float"},
         "Error: invalid input size provided. Please check all raw sizes.\n", false},
        {{"--perf_config_yaml", "/dev/zero"}, "Cannot open perf config yaml file: /dev/zero\n", true},
        {{"--perf_config_yaml", pipe}, "Perf yaml file " + pipe + " is empty\n", true},
        {{"--perf_config_yaml", "/dev/null"}, "Perf yaml file /dev/null is empty\n", true},
        {{"--perf_config_yaml", "adir"}, "Cannot open perf config yaml file: adir\n", true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--container", "m.dlc", "--input_list", "list.txt", "--output_dir", "out"};
        for (size_t i = 0; i + 1 < c.args.size(); i += 2) {
            const auto at = std::find(args.begin(), args.end(), c.args[i]);
            if (at != args.end()) {
                *(at + 1) = c.args[i + 1];
            } else {
                args.push_back(c.args[i]);
                args.push_back(c.args[i + 1]);
            }
        }
        if (c.args.size() % 2 == 1) args.push_back(c.args.back());
        const ProcessResult r = tool(args);
        EXPECT_EQ(r.status, 1) << c.args[1];
        EXPECT_NE((c.onStdout ? r.out : r.err).find(c.message), std::string::npos) << c.args[1] << "\n" << r.err;
    }
    // A FIFO where an output file goes.
    fs::create_directories(dir.file("out/Result_0"));
    EXPECT_EQ(mkfifo(dir.file("out/Result_0/y.raw").c_str(), 0600), 0);
    const ProcessResult r = run("m.dlc", "list.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to open output file for writing: out/Result_0/y.raw\n");
}

// Process substitution hands the tool /dev/fd/N pipes, and a named pipe may
// have its writer waiting: the list, a raw input and the perf file are read
// from them as from files.
TEST_F(Hostile, PipesAreReadLikeFiles) {
    simple();
    const std::string tool = VEXA_TOOL_PATH;
    const ProcessResult r = exec(
        "/bin/bash", {"-c", "mkfifo raw.pipe && { cat one.raw > raw.pipe & } && " + tool +
                                " --container m.dlc --output_dir out --input_list <(echo raw.pipe) "
                                "--perf_config_yaml <(printf 'other:\\n  x: 1\\n'); s=$?; kill %1 2>/dev/null; exit $s"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytesToFloats(readFile(dir.file("out/Result_0/y.raw"))), std::vector<float>(4, 3.0f));
}

TEST_F(Hostile, ContainersThatWouldExhaustMemory) {
    const OnnxBuilder m = affineModel("m", {1, 4}, 2, 1);
    dir.write("one.raw", floatsToBytes({1, 2, 3, 4}));
    dir.write("list.txt", "one.raw\n");
    const std::string zeros(64 << 20, '\0');
    // A manifest that names one deflated entry for three graphs.
    dir.write("shared.dlc", zipBytes({{"manifest.json", manifestFor({{"a", "big"}, {"b", "big"}, {"c", "big"}})},
                                      {"big", zeros}}));
    // A manifest whose declared size is forged to 2 GiB.
    std::string forged = zipBytes({{"manifest.json", manifestFor({{"m", "m.onnx"}})}, {"m.onnx", m.serialize()}});
    forgeDeclaredSize(forged, "manifest.json", 0x80000000u);
    dir.write("forged.dlc", forged);
    // More inflated bytes than the cap allows.
    dir.write("bomb.dlc", zipBytes({{"manifest.json", manifestFor({{"m", "m.onnx"}})}, {"m.onnx", m.serialize()},
                                    {"extra.bin", zeros}}));
    struct Case {
        std::string container;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"shared.dlc", "container manifest names the entry 'big' twice"},
        {"forged.dlc", ""},  // opens or not; what matters is the memory
        {"bomb.dlc", "container decompresses to more than the limit of 16777216 bytes"},
    };
    for (const auto& c : cases) {
        for (const auto& buffer : std::vector<std::string>{"", "--init_from_buffer"}) {
            std::vector<std::string> extra;
            if (!buffer.empty()) extra.push_back(buffer);
            const ProcessResult r =
                run(c.container, "list.txt", extra, {{"VEXA_CONTAINER_MAX_BYTES", std::to_string(16 << 20)}});
            if (!c.reason.empty()) {
                EXPECT_EQ(r.status, 1) << c.container;
                EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.container << ": " << r.err << r.out;
            }
            // The declared or repeated sizes would take gigabytes; the cap keeps
            // what is inflated to 16 MiB (the sanitizer's own overhead aside).
            EXPECT_LT(r.peakRssBytes, uint64_t{sanitizedBuild() ? 600u : 120u} << 20) << c.container;
        }
    }
    // The same bomb within a larger cap opens; its extra entry is kept.
    EXPECT_EQ(run("bomb.dlc", "list.txt").status, 0);
}

TEST_F(Hostile, HugeInputListsAndPaddingStayProportional) {
    // One line of 2,000,000 paths for a one-input model.
    simple();
    std::string wide;
    for (int i = 0; i < 2000000; ++i) wide += "a.raw ";
    dir.write("wide.txt", wide + "\n");
    ProcessResult r = run("m.dlc", "wide.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Expecting: 1\nGot: 2000000\n"), std::string::npos);
    EXPECT_LT(r.peakRssBytes, uint64_t{sanitizedBuild() ? 1200u : 400u} << 20);

    // 4 million padding pieces: every line is printed, from a count.
    const int64_t n = 4 << 20;
    simple("y", n);
    dir.write("tiny.raw", floatsToBytes({1}));
    dir.write("tiny.txt", "tiny.raw\n");
    r = run("m.dlc", "tiny.txt", {"--profiling_level", "off"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string line = "Applying padding\n";
    EXPECT_NE(r.out.find("Processing DNN input(s):\ntiny.raw\n" + line), std::string::npos);
    EXPECT_EQ(countOf(r.out, line), static_cast<size_t>(n - 1));
}

TEST_F(Hostile, ImpossibleUserBufferTypesEndWithAMessage) {
    simple();
    const std::vector<std::vector<std::string>> cases = {
        {"--userbuffer_float", "--userbuffer_tf8"},
        {"--userbuffer_floatN", "32", "--userbuffer_tf8"},
        {"--userbuffer_float", "--userbuffer_float_output", "--userbuffer_tf8_output"},
        {"--userbuffer_tf8", "--userbuffer_floatN_output", "16", "--userbuffer_tf8_output"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = run("m.dlc", "list.txt", c);
        EXPECT_EQ(r.status, 1) << c[0] << " " << c[1];
        EXPECT_NE(r.err.find("which is not a data type"), std::string::npos) << r.err;
    }
}

TEST_F(Hostile, OutOfMemoryIsAMessage) {
    simple();
    // 2^39 elements: more than any allocator here will give.
    const ProcessResult r = run("m.dlc", "list.txt", {"--input_name", "x", "--input_dimensions", "1,549755813888"},
                                {{"ASAN_OPTIONS", "allocator_may_return_null=1:detect_leaks=0"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("out of memory"), std::string::npos) << r.err;
}

TEST_F(Hostile, BuildRequestsThatCannotHoldAreReportedAtBuild) {
    simple();
    struct Case {
        std::vector<std::string> extra;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {{"--input_name", "xx", "--input_dimensions", "1,4"}, "'xx' is not an input of the graph"},
        {{"--input_name", "x", "--input_dimensions", "1,2,2"}, "input 'x' has rank 2, not 3"},
        {{"--input_name", "x", "--input_dimensions", "1,-1"},
         "dimension 1 of input 'x' is 18446744073709551615, not a size"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = run("m.dlc", "list.txt", c.extra);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Vexa_VEXABuilder_Build: graph 'm': " + c.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("elements, the network expects"), std::string::npos);
    }
}

TEST_F(Hostile, FailedDirectoryCreationReportsItsOwnError) {
    simple();
    // mkdir here fails with EPERM (or EROFS), while a status query says "missing".
    const ProcessResult r = tool({"--container", "m.dlc", "--input_list", "list.txt", "--output_dir", "/sys/vexa-out",
                                  "--profiling_level", "off"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Failed to create output directory: /sys/vexa-out/Result_0: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

TEST_F(Hostile, NoLibraryIsLoadedFromTheCurrentDirectory) {
    simple();
    // The tool and its library alone in a directory: no SoC service beside them.
    fs::create_directories(dir.file("bin"));
    fs::copy_file(VEXA_TOOL_PATH, dir.file("bin/vexa-net-run"));
    fs::copy_file(fs::path(VEXA_TOOL_PATH).parent_path() / "libVEXA.so", dir.file("bin/libVEXA.so"));
    fs::create_directories(dir.file("KTP"));
    fs::copy_file(VEXA_PLANTED_LIBRARY, dir.file("KTP/libZdnSystemInfo.so"));
    const ProcessResult r = exec(dir.file("bin/vexa-net-run"),
                                 {"--container", "m.dlc", "--input_list", "list.txt", "--output_dir", "out"},
                                 {{"VEXA_PLANTED_MARKER", dir.file("planted-was-loaded")}, {"VEXA_DSP_DRIVER_DIR", ""}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("planted-was-loaded")));
}

// nlohmann's parser does not recurse, but copying and printing a value do:
// a manifest or encodings file nested 100,000 deep is refused on parse, in
// a line, never echoed.
TEST_F(Hostile, DeeplyNestedJsonIsRefusedInOneLine) {
    simple();
    const OnnxBuilder m = affineModel("m", {1, 4}, 2, 1);
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string graphs = R"([{"name": "m", "file": "m.onnx", "encodings": {"y": {"stepSize": )" + deep + "}}}]";
    dir.write("deep.dlc", zipBytes({{"manifest.json", R"({"format": "vexa-dlc", "version": 1, "graphs": )" + graphs + "}"},
                                    {"m.onnx", m.serialize()}}));
    dir.write("deep.json", R"({"m": {"y": {"stepSize": )" + deep + "}}}");
    dir.write("m.onnx", m.serialize());
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {VEXA_INFO_PATH, {"deep.dlc"}},
        {VEXA_TOOL_PATH, {"--container", "deep.dlc", "--input_list", "list.txt"}},
        {VEXA_TOOL_PATH, {"--container", "deep.dlc", "--input_list", "list.txt", "--init_from_buffer"}},
        {VEXA_QUANTIZE_PATH, {"--container", "deep.dlc", "--input_list", "list.txt"}},
        {VEXA_PACK_PATH, {"-o", "packed.dlc", "--encodings", "deep.json", "m.onnx"}},
    };
    for (const auto& [program, args] : cases) {
        const ProcessResult r = exec(program, args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("nests deeper than 64 levels"), std::string::npos) << r.err.substr(0, 300);
        EXPECT_LT(r.err.size(), 400u) << args[0];
    }
    EXPECT_FALSE(fs::exists(dir.file("packed.dlc")));
}

// The manifest's checks, each on its own: what the reader accepts is what
// the packer writes, and every departure is named.
TEST_F(Hostile, ManifestsAreValidatedPartByPart) {
    const OnnxBuilder m = affineModel("m", {1, 4}, 2, 1);
    const std::string head = R"({"format": "vexa-dlc", "version": 1, "graphs": )";
    auto one = [&](const std::string& encodings) {
        return head + R"([{"name": "m", "file": "m.onnx", "encodings": {"y": )" + encodings + "}}]}";
    };
    struct Case {
        const char* name;
        std::string manifest;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"as written", head + R"([{"name": "m", "file": "m.onnx"}]})", 0, "Graph: m"},
        {"bit width and offset left to their defaults", one(R"({"stepSize": 0.5})"), 0, "Graph: m"},
        {"no format tag", R"({"version": 1, "graphs": [{"name": "m", "file": "m.onnx"}]})", 1,
         "container manifest has no vexa-dlc format tag"},
        {"another format tag", R"({"format": "zip", "version": 1, "graphs": [{"name": "m", "file": "m.onnx"}]})", 1,
         "container manifest has no vexa-dlc format tag"},
        {"a later version", R"({"format": "vexa-dlc", "version": 2, "graphs": [{"name": "m", "file": "m.onnx"}]})", 1,
         "container format version 2 is not supported"},
        {"an earlier version", R"({"format": "vexa-dlc", "version": 0, "graphs": [{"name": "m", "file": "m.onnx"}]})",
         1, "container format version 0 is not supported"},
        {"no graph", head + "[]}", 1, "container holds no graph"},
        {"not JSON", head + "[{", 1, "container manifest is not valid JSON"},
        {"a graph stored as the manifest", head + R"([{"name": "m", "file": "manifest.json"}]})", 1,
         "names the entry 'manifest.json' twice"},
        {"two graphs of one name", head + R"([{"name": "m", "file": "m.onnx"}, {"name": "m", "file": "n.onnx"}]})", 1,
         "names the graph 'm' twice"},
        {"encodings that are a list", head + R"([{"name": "m", "file": "m.onnx", "encodings": [1]}]})", 1,
         "encodings of graph 'm' are not an object"},
        {"a bit width of 4", one(R"({"bitWidth": 4, "stepSize": 0.5})"), 1, "has bit width 4 (8 and 16 are supported)"},
        {"an offset past the codes", one(R"({"stepSize": 0.5, "stepExactly0": 256})"), 1,
         "has stepExactly0 256 (0 to 255 for 8 bits)"},
        {"a per-channel axis past rank 9", one(R"({"stepSize": 0.5, "axis": 9, "stepSizes": [0.5]})"), 1,
         "has axis 9 (0 to 8)"},
        {"no per-channel steps", one(R"({"stepSize": 0.5, "axis": 0, "stepSizes": []})"), 1,
         "has stepSizes that are not a list of 1 to 1048576 steps"},
        {"a negative per-channel step", one(R"({"stepSize": 0.5, "axis": 0, "stepSizes": [0.5, -1]})"), 1,
         "has step size -1 in stepSizes"},
        {"a bias correction that is no list", one(R"({"stepSize": 0.5, "biasCorrection": 1})"), 1,
         "has a biasCorrection that is not a list of 1 to 1048576 numbers"},
        {"a bias correction of text", one(R"({"stepSize": 0.5, "biasCorrection": [0.5, "x"]})"), 1,
         "has \"x\" in biasCorrection (a finite float32 is needed)"},
        {"a long string where a number goes", one(R"({"stepSize": ")" + std::string(100000, 'x') + R"("})"), 1,
         "has step size \"xxxxxxxx"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("c.dlc", zipBytes({{"manifest.json", c.manifest}, {"m.onnx", m.serialize()},
                                     {"n.onnx", m.serialize()}}));
        const ProcessResult r = exec(VEXA_INFO_PATH, {"c.dlc"});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err.substr(0, 300);
        EXPECT_LT(r.err.size(), 400u);
    }
}

// Non-finite calibration data is refused naming its file, and no range,
// however wide, gives an encoding the reader would refuse afterwards.
TEST_F(Hostile, CalibrationNeverWritesAContainerThatCannotOpen) {
    simple();
    const std::string original = readFile(dir.file("m.dlc"));
    dir.write("inf.raw", floatsToBytes({1, INFINITY, 1, 1}));
    dir.write("nan.raw", floatsToBytes({1, 1, NAN, 1}));
    dir.write("wide.raw", floatsToBytes({-3e38f, 3e38f, 0, 1}));
    for (const auto& [file, message] : std::vector<std::pair<std::string, std::string>>{
             {"inf.raw", "inf.raw holds inf at element 1; calibration data must be finite"},
             {"nan.raw", "nan.raw holds nan at element 2; calibration data must be finite"}}) {
        dir.write("bad-list.txt", file + "\n");
        const ProcessResult r = exec(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "bad-list.txt"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(readFile(dir.file("m.dlc")), original);
    }
    // The widest finite range, clipped to a percentile or not; and a weight
    // holding inf (an attention mask's kind of constant).
    OnnxBuilder masked("m", 13);
    masked.input("x", {1, 4});
    masked.initializer("w", {1, 4}, {1, INFINITY, -INFINITY, 2});
    masked.node("Mul", {"x", "w"}, {"y"});
    masked.output("y", {1, 4});
    packContainer(dir.file("masked.dlc"), {{"m", &masked}});
    dir.write("wide-list.txt", "wide.raw\n");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--container", "m.dlc", "--input_list", "wide-list.txt", "-o", "q.dlc"},
             {"--container", "m.dlc", "--input_list", "wide-list.txt", "-o", "q.dlc", "--percentile", "99"},
             {"--container", "masked.dlc", "--input_list", "list.txt", "-o", "q.dlc", "--per_channel"}}) {
        ProcessResult r = exec(VEXA_QUANTIZE_PATH, args);
        ASSERT_EQ(r.status, 0) << args[3] << r.err;
        for (const auto& mode : std::vector<std::string>{"", "--enable_cpu_fxp"}) {
            std::vector<std::string> extra;
            if (!mode.empty()) extra.push_back(mode);
            r = run("q.dlc", "list.txt", extra);
            EXPECT_EQ(r.status, 0) << args[3] << " " << mode << r.err;
        }
    }
}

// A read-modify-write holds the folder's lock from reading to writing, and
// a save over a file that changed since it was read refuses: an update by
// another program is never silently lost.
TEST_F(Hostile, SavesNeverLoseAnotherProgramsUpdate) {
    simple();
    const OnnxBuilder m = affineModel("m", {1, 4}, 2, 1);
    const std::string path = dir.file("m.dlc");
    vexart::ContainerModel stale = vexart::openContainerFile(path);
    packContainer(path, {{"m", &m}}, "saved by another program");
    try {
        vexart::writeContainer(stale, path);
        ADD_FAILURE() << "a stale model replaced the newer file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("changed since it was opened"), std::string::npos) << e.what();
    }
    EXPECT_EQ(vexart::openContainerFile(path).modelVersion, "saved by another program");
    // A save killed midway left its temporary; the next save removes it,
    // and only it: a user's files beside the container, named as a
    // temporary of another program would be, stay.
    dir.write(".m.dlc.vexa-partial-Ab12Cd", "partial");
    const std::vector<std::string> users = {".m.dlc.keeps", ".m.dlc.sha256", ".m.dlc.backup", ".m.dlc.Ab12Cd"};
    for (const auto& name : users) dir.write(name, "the user's");
    vexart::ContainerModel fresh = vexart::openContainerFile(path);
    vexart::writeContainer(fresh, path);
    vexart::writeContainer(fresh, path);
    EXPECT_FALSE(fs::exists(dir.file(".m.dlc.vexa-partial-Ab12Cd")));
    for (const auto& name : users) EXPECT_EQ(readFile(dir.file(name)), "the user's") << name;
    // Nothing else is left beside it.
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) entries += e.path().filename().string().rfind(".m.dlc", 0) == 0;
    EXPECT_EQ(entries, users.size());

    // Quantize in place and an init-cache run at once: both updates land,
    // or the run says its save was refused.
    for (int round = 0; round < 4; ++round) {
        simple();
        const std::string both = std::string(VEXA_QUANTIZE_PATH) + " --container m.dlc --input_list list.txt > q.txt 2>&1 & " +
                                 VEXA_TOOL_PATH + " --container m.dlc --input_list list.txt --output_dir out " +
                                 "--enable_init_cache > t.txt 2>&1 & wait";
        const ProcessResult r = exec("/bin/bash", {"-c", both});
        EXPECT_EQ(r.status, 0);
        const vexart::ContainerModel after = vexart::openContainerFile(path);
        EXPECT_FALSE(after.graphs.front().encodings.empty()) << readFile(dir.file("q.txt"));
        const std::string log = readFile(dir.file("t.txt"));
        EXPECT_TRUE(!after.cacheRecords.empty() || log.find("Failed to save container into archive\n") != std::string::npos)
            << log;
    }
}

// Names and fields of a log reach the terminal escaped and cut short.
TEST_F(Hostile, ViewerNeverSendsALogsControlBytesToTheTerminal) {
    const std::string head = "format vexa-diag 1\nrun profiling_level=2 threads=1 load_us=1\n"
                             "graph name=g%1B]0;title%07 activation_bytes=0\nnodes graph=g%1B]0;title%07 count=1\n"
                             "node graph=g%1B]0;title%07 index=0 name=evil%1B[2J%0Anext op=Conv%0D\n";
    dir.write("names.log", head + "exec graph=g%1B]0;title%07 n=1 start_us=0 total_us=5 node_us=5\n"
                                  "exec graph=g%1B]0;title%07 n=2 start_us=6 total_us=5 node_us=5\n");
    ProcessResult r = exec(VEXA_DIAGVIEW_PATH, {"names.log"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find_first_of(std::string("\x1b\x07\r", 3)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("evil\\x1b[2J\\x0anext"), std::string::npos) << r.out;
    // A 50 MB field is named, not echoed.
    dir.write("huge.log", head + "exec graph=g%1B]0;title%07 n=1 start_us=0 total_us=" + std::string(50 << 20, '7') +
                              "x node_us=5\n");
    r = exec(VEXA_DIAGVIEW_PATH, {"huge.log"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("total_us is not a time"), std::string::npos) << r.err.substr(0, 300);
    EXPECT_LT(r.err.size(), 400u);
}

}  // namespace
