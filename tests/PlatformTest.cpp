// The loader layer, the SoC capability call, and DSP-only runs against the
// stand-in allocator and SoC service.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "platform/DspDriver.h"
#include "platform/DynamicLoader.h"
#include "platform/soc/SocInfo.h"
#include "support/Models.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
const std::string kStubDir = VEXA_BIN_DIR;

TEST(Loader, FlagsLocalRecordAndAddresses) {
    EXPECT_EQ(dlOpen("libm.so.6", 0), nullptr);
    EXPECT_STREQ(dlLastError(), "flags must either include DL_NOW or only specify DL_NOLOAD");
    const std::string lib = kStubDir + "/libcdsprpc.so";
    EXPECT_EQ(dlOpen(lib.c_str(), DL_NOLOAD), nullptr);
    EXPECT_EQ(dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);  // still not loaded

    void* a = dlOpen(lib.c_str(), DL_NOW | DL_LOCAL);
    ASSERT_NE(a, nullptr);
    void* b = dlOpen(lib.c_str(), DL_NOW | DL_LOCAL);
    EXPECT_EQ(a, b);
    EXPECT_NE(dlSym(a, "rpcmem_alloc"), nullptr);
    EXPECT_EQ(dlSym(DL_DEFAULT, "rpcmem_alloc"), nullptr);  // local libraries are skipped
    EXPECT_STREQ(dlLastError(), "can't resolve symbol");
    EXPECT_NE(dlOpen(lib.c_str(), DL_NOW | DL_GLOBAL), nullptr);
    EXPECT_NE(dlSym(DL_DEFAULT, "rpcmem_alloc"), nullptr);
    EXPECT_EQ(dlClose(b), 0);
    EXPECT_EQ(dlClose(nullptr), 0);
    EXPECT_EQ(dlOpen("/nonexistent/libx.so", DL_NOW), nullptr);
    EXPECT_STREQ(dlLastError(), "load library failed");

    std::string path;
    EXPECT_EQ(dlAddrToPath(reinterpret_cast<const void*>(&dlOpen), path), 1);
    EXPECT_EQ(path, fs::canonical("/proc/self/exe").string());
    EXPECT_EQ(dlAddrToPath(nullptr, path), 0);
    EXPECT_STREQ(dlLastError(), "Input address is nullptr");
    EXPECT_EQ(path, "");
}

// Started through PATH, a program's own entry names it as typed (no
// directory); its path must still be found. The test starts itself that
// way and the child answers.
TEST(Loader, MainProgramPathWhenStartedThroughPath) {
    if (std::getenv("VEXA_REPORT_OWN_PATH") != nullptr) {
        std::string path;
        std::cout << (dlAddrToPath(reinterpret_cast<const void*>(&dlOpen), path) == 1 ? path : "<failed>") << std::endl;
        return;
    }
    const fs::path self = fs::canonical("/proc/self/exe");
    ProcessOptions options;
    options.workingDirectory = "/";
    options.env = {{"VEXA_REPORT_OWN_PATH", "1"}, {"PATH", self.parent_path().string()}};
    const ProcessResult r = runProcess("/bin/sh",
                                       {"-c", "exec " + self.filename().string() +
                                                  " --gtest_filter=Loader.MainProgramPathWhenStartedThroughPath"},
                                       options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n" + self.string() + "\n"), std::string::npos) << r.out;
}

TEST(Loader, LibraryPathsJoinWithOneSeparator) {
    EXPECT_EQ(joinLibraryPath("", "lib.so"), "lib.so");
    EXPECT_EQ(joinLibraryPath("/a", "lib.so"), "/a/lib.so");
    EXPECT_EQ(joinLibraryPath("/a/", "lib.so"), "/a/lib.so");
    EXPECT_EQ(joinLibraryPath("C:\\d\\", "lib.dll"), "C:\\d\\lib.dll");
}

int calls = 0;
int shortThenOk(uint32_t, uint32_t, uint8_t* buffer, uint32_t* size) {
    ++calls;
    if (*size < 8) {
        *size = 8;
        return 5;
    }
    const uint64_t v = 42;
    std::memcpy(buffer, &v, 8);
    *size = 8;
    return 0;
}
int refuses(uint32_t, uint32_t, uint8_t*, uint32_t*) { return 3; }

TEST(SocCapability, RetriesWithTheSizeAskedForAndRaisesOtherwise) {
    const auto data = soc::getCapability(shortThenOk, 2, 3);
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(data.size(), 8u);
    EXPECT_EQ(data[0], 42);
    try {
        soc::getCapability(refuses, 2, 3);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "GetCapability failed");
    }
    EXPECT_THROW(soc::getCapability(nullptr, 2, 3), std::runtime_error);
}

class DspRun : public ::testing::Test {
protected:
    TempDir dir;
    std::vector<float> x = {1, -2, 3, -4, 5, -6, 7, -8};

    void SetUp() override {
        const OnnxBuilder m = affineModel("m", {1, 8}, 2, 1);
        packContainer(dir.file("m.dlc"), {{"m", &m}});
        dir.write("x.raw", floatsToBytes(x));
        dir.write("list.txt", "x.raw\nx.raw\n");
    }
    ProcessResult run(std::vector<std::string> extra, const std::string& arch = "69",
                      const std::string& driverDir = "") {
        std::vector<std::string> args = {"--container", "m.dlc", "--input_list", "list.txt", "--output_dir", "out",
                                         "--profiling_level", "off"};
        args.insert(args.end(), extra.begin(), extra.end());
        ProcessOptions o;
        o.workingDirectory = dir.path();
        o.env = {{"VEXA_FAKE_DSP_ARCH", arch}, {"VEXA_API_TRACE", dir.file("trace.txt")}};
        // The stand-in allocator is installed beside the tool.
        o.env.emplace_back("VEXA_DSP_DRIVER_DIR", driverDir.empty() ? kStubDir : driverDir);
        fs::remove_all(dir.file("out"));
        std::remove(dir.file("trace.txt").c_str());
        return runProcess(VEXA_TOOL_PATH, args, o);
    }
    std::vector<float> y(int i) { return bytesToFloats(readFile(dir.file("out/Result_" + std::to_string(i) + "/y.raw"))); }
};

TEST_F(DspRun, MemoryMappedAndSharedBuffersGiveThePlainResults) {
    ProcessResult r = run({"--use_dsp", "--userbuffer_float"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto plain = y(1);
    EXPECT_EQ(plain, (std::vector<float>{3, -3, 7, -7, 11, -11, 15, -15}));
    for (const auto& mode : {"--userbuffer_memorymapped", "--userbuffer_memorymapped_shared"}) {
        r = run({"--use_dsp", "--userbuffer_float", mode});
        ASSERT_EQ(r.status, 0) << mode << r.err;
        EXPECT_EQ(r.err, "") << mode;  // includes the allocator's leak report
        EXPECT_EQ(y(0), plain) << mode;
        EXPECT_EQ(y(1), plain) << mode;
        EXPECT_NE(readFile(dir.file("trace.txt")).find("Vexa_VEXA_DeregisterUserMemoryMappedBuffersForNetwork"),
                  std::string::npos);
    }
}

TEST_F(DspRun, DeferredInitHandsSharedMemoryToTheNetwork) {
    for (const auto& mode : {"weights", "spill-fill", "all"}) {
        const ProcessResult r = run({"--use_dsp", "--deferred_init", mode});
        ASSERT_EQ(r.status, 0) << mode << r.err;
        EXPECT_EQ(r.err, "") << mode;
        EXPECT_EQ(y(0), (std::vector<float>{3, -3, 7, -7, 11, -11, 15, -15}));
        const std::string t = readFile(dir.file("trace.txt"));
        const size_t at = t.find("Vexa_VEXA_Finalize(");
        ASSERT_NE(at, std::string::npos) << t;
        if (std::string(mode) == "weights") {
            EXPECT_EQ(t.substr(at, 22), "Vexa_VEXA_Finalize(-1,");
        }
    }
    const ProcessResult r = run({"--use_dsp", "--userbuffer_float", "--userbuffer_memorymapped"});
    EXPECT_EQ(readFile(dir.file("trace.txt")).find("Vexa_VEXA_Finalize("), std::string::npos);
    EXPECT_EQ(r.status, 0);
}

TEST_F(DspRun, KtpOnlyOptionsFollowTheReportedArchitecture) {
    const std::vector<std::string> ktp = {"--use_dsp", "--group_id", "0", "--max_spill_fill_buffer", "4096",
                                          "--enable_dsp_vtcm_retention"};
    ProcessResult r = run(ktp, "69");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(readFile(dir.file("trace.txt")).find("Vexa_VEXABuilder_RegisterMultiContext(0, 4096)"),
              std::string::npos);
    r = run(ktp, "66");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Multi-Context registration is only supported in dsp runtime on ktp devices.\n", 0), 0u);
    r = run({"--use_dsp"}, "0");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("The selected runtime is not available on this platform."), std::string::npos);
}

TEST_F(DspRun, AllocatorFailuresAreReported) {
    ProcessResult r = run({"--use_dsp", "--userbuffer_float", "--userbuffer_memorymapped"}, "69", "/nonexistent");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: could not open libcdsprpc.so \n");
    // Without memory-mapped buffers or deferred init the library is never opened.
    r = run({"--use_dsp", "--userbuffer_float"}, "69", "/nonexistent");
    EXPECT_EQ(r.status, 0) << r.err;

    const std::string partial = VEXA_STUB_NOFD_DIR;
    r = run({"--use_dsp", "--userbuffer_float", "--userbuffer_memorymapped"}, "69", partial);
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({"--use_dsp", "--deferred_init", "all"}, "69", partial);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Function is unavailable: rpcmem_to_fd\nError: could not access rpcmem_to_fd\n");
}

}  // namespace

namespace {

TEST_F(DspRun, SharedMemoryFailuresReleaseWhatWasAllocated) {
    struct Case {
        std::vector<std::string> options;
        std::pair<std::string, std::string> env;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--deferred_init", "all"}, {"VEXA_FAKE_RPCMEM_FAIL_ALLOC", "1"}, "rpcmem_alloc failure for spill fill buffer"},
        {{"--deferred_init", "all"}, {"VEXA_FAKE_RPCMEM_FAIL_ALLOC", "2"}, "rpcmem_alloc failure for weights buffer"},
        {{"--deferred_init", "spill-fill"}, {"VEXA_FAKE_RPCMEM_FAIL_FD", "1"}, "rpcmem_to_fd failure for spillFillBufferPtr"},
        {{"--deferred_init", "weights"}, {"VEXA_FAKE_RPCMEM_FAIL_FD", "1"}, "rpcmem_to_fd failure for weightsBufferPtr"},
        {{"--userbuffer_float", "--userbuffer_memorymapped"},
         {"VEXA_FAKE_RPCMEM_FAIL_ALLOC", "2"},
         "Failed to allocate memory using the libcdsprpc library\nFailed to prepare one or more userbuffer(s)\n"},
        {{"--userbuffer_float", "--userbuffer_memorymapped_shared"},
         {"VEXA_FAKE_RPCMEM_FAIL_ALLOC", "1"},
         "Failed to allocate memory using the libcdsprpc library\nFailed to prepare one or more userbuffer(s)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        std::vector<std::string> args = {"--container", "m.dlc", "--input_list", "list.txt", "--use_dsp"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ProcessOptions o;
        o.workingDirectory = dir.path();
        o.env = {{"VEXA_FAKE_DSP_ARCH", "69"}, {"VEXA_DSP_DRIVER_DIR", kStubDir}, c.env};
        const ProcessResult r = runProcess(VEXA_TOOL_PATH, args, o);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);  // and no report of allocations left behind
    }
}

}  // namespace
