// The tool as a user runs it: exit status and both streams.
#include <gtest/gtest.h>

#include "support/Subprocess.h"

namespace {

ProcessResult tool(const std::vector<std::string>& args, const ProcessOptions& options = {}) {
    return runProcess(VEXA_TOOL_PATH, args, options);
}

const std::string kVersionLine = "VEXA v2.48.0.260626120635\n";

TEST(Tool, VersionAndHelpExitZero) {
    ProcessResult r = tool({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionLine);
    EXPECT_EQ(r.err, "");

    r = tool({"--version", "--container"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionLine);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--h"}, {"--help", "--no_such_option"}, {"--version", "--help"}}) {
        r = tool(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("Command Line Options:\n  [ -h, --help ]        Displays this help message.\n", 0),
                  0u);
        EXPECT_EQ(r.err.find("Command Line Error"), std::string::npos);
    }
}

// The whole listing, written out from the option table: every entry, the
// 20-column field ("[ --duration=<val> ]" just fits, one character more
// moves the description to the next line) and the empty --dbglogs text.
TEST(Tool, HelpListingMatchesTheGoldenCopy) {
    const std::string golden = readFile(VEXA_GOLDEN_DIR "/help.txt");
    ASSERT_FALSE(golden.empty());
    EXPECT_NE(golden.find("\n  [ --duration=<val> ]  Specified the duration"), std::string::npos);
    EXPECT_NE(golden.find("\n  [ --output_dir=<val> ]\n                        The directory"), std::string::npos);
    const ProcessResult r = tool({"--help"});
    EXPECT_EQ(r.err, golden);
    // After a command-line error the same listing follows the message.
    const ProcessResult e = tool({"-help"});
    EXPECT_EQ(e.err, "Command Line Error: Invalid argument passed -help\n" + golden);
}

TEST(Tool, CommandLineErrorsExitOneWithTheListing) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{}, "Command Line Error: Missing required argument\n"},
        {{"--input_list", "x"}, "Command Line Error: Missing required argument\n"},
        {{"-help"}, "Command Line Error: Invalid argument passed -help\n"},
        {{"--container", "m", "--input_list"}, "Command Line Error: Invalid argument passed --input_list\n"},
        {{"model.dlc"}, "Command Line Error: Invalid argument passed model.dlc\n"},
        {{"--container", "m", "--input_list", "i", "--timeout", "5000000000"},
         "Command Line Error: Value cannot be converted\n"},
        {{"--container", "m", "--input_list", "i", "--duration=abc"},
         "Command Line Error: Value cannot be converted\n"},
        {{"--container", "m", "--input_list", "i", "--gpu_mode", "x"},
         "ERROR: Invalid setting pased to the argument --gpu_mode.\n Please check the Arguments section in the "
         "description below\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const ProcessResult r = tool(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(c.error + "Command Line Options:\n", 0), 0u) << r.err;
    }
}

TEST(Tool, MalformedDataTypeMapEndsAtOnceWithoutTheListing) {
    struct Case {
        std::string value;
        std::string err;
    };
    const std::string format =
        "Arguments should be formatted as:\n--data_type_map buffer_name1:buffer_name1_data_type --data_type_map "
        "buffer_name2:buffer_name2_data_type\n";
    const std::vector<Case> cases = {
        {"in", "Invalid argument: in\n" + format},
        {"", "Invalid argument: \n" + format},
        {"in=", "Data type  not supported.\n"},
        {"in=Float32", "Data type Float32 not supported.\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r =
            tool({"--container", "m", "--input_list", "i", "--tensor_mode", "userBuffer", "--data_type_map", c.value});
        EXPECT_EQ(r.status, 1) << c.value;
        EXPECT_EQ(r.err, c.err) << c.value;
    }
}

TEST(Tool, StartupLinesBeforeTheContainerIsOpened) {
    TempDir dir;
    const std::string missing = dir.file("missing.dlc");
    ProcessResult r = tool({"--container", missing, "--input_list", "in.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Logging level is : VEXA_LOG_LEVEL_ERROR\n");
    EXPECT_NE(r.err.find(missing), std::string::npos) << r.err;

    r = tool({"--container", missing, "--input_list", "in.txt", "--dbglogs", "--get_pid", "--userlogs", "verbose"});
    EXPECT_EQ(r.err.rfind("Failed to set dev log level!\n", 0), 0u);
    EXPECT_EQ(r.out.rfind("vexa-net-run pid:", 0), 0u);
    EXPECT_NE(r.out.find("\nLogging level is : VEXA_LOG_LEVEL_VERBOSE\n"), std::string::npos);
}

TEST(Tool, GlBufferModeIsAlwaysRefused) {
    struct Case {
        std::vector<std::string> extra;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{}, "GL buffer mode is only supported by GPU runtime\n"},
        {{"--use_gpu"}, "GL buffer mode is only supported on Android OS\n"},
        {{"--gpu_mode", "float16"}, "GL buffer mode is only supported on Android OS\n"},
        {{"--runtime_order", "cpu,gpu"}, "GL buffer mode is only supported on Android OS\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--container", "m", "--input_list", "i", "--userbuffer_glbuffer"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ProcessResult r = tool(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(Tool, PlatformOptionsArePassedInKeyOrder) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    ProcessOptions options;
    options.env = {{"VEXA_API_TRACE", trace}};
    ProcessResult r = tool({"--container", dir.file("m.dlc"), "--input_list", "i", "--platform_options",
                            "deviceId:3;a:1"},
                           options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "Logging level is : VEXA_LOG_LEVEL_ERROR\n"
              "PlatformOptions (deviceId:3;a:1) successfully set\n"
              "PlatformOptionsLocal (a:1) overwrite successful\n"
              "PlatformOptionsLocal (deviceId:3) overwrite successful\n");
    const std::string calls = readFile(trace);
    EXPECT_NE(calls.find("Vexa_PlatformConfig_SetPlatformOptions("), std::string::npos);
    EXPECT_LT(calls.find("\"a\", \"1\")"), calls.find("\"deviceId\", \"3\")"));

    r = tool({"--container", "m", "--input_list", "i", "--platform_options", "a:1;;b:2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("PlatformOptions (a:1;;b:2) successfully set\nPlatformOptions (a:1;;b:2) failed to parse\n"),
              std::string::npos);
    EXPECT_EQ(r.out.find("PlatformOptionsLocal"), std::string::npos);

    r = tool({"--container", "m", "--input_list", "i", "--platform_options", "a:1;:2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("PlatformOptionsLocal (:2) overwrite failed\n"), std::string::npos);
}

TEST(Tool, ContainerBytesAreCheckedBeforeTheLibrarySeesThem) {
    TempDir dir;
    const std::string small = dir.write("small.dlc", std::string(27, 'x'));
    ProcessResult r = tool({"--container", small, "--input_list", "i", "--init_from_buffer"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Logging level is : VEXA_LOG_LEVEL_ERROR\nNot a valid Dlc Buffer!\n");

    r = tool({"--container", dir.file("none.dlc"), "--input_list", "i", "--init_from_buffer"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to open file: " + dir.file("none.dlc") + "\n");
    EXPECT_NE(r.out.find("Not a valid Dlc Buffer!\n"), std::string::npos);
}

TEST(Tool, UserLogsAndRuntimeOrderReachTheLibrary) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    ProcessOptions options;
    options.env = {{"VEXA_API_TRACE", trace}};
    tool({"--container", "m", "--input_list", "i", "--userlogs", "Info,/Tmp/MyLog", "--runtime_order", "gpu,cpu"},
         options);
    const std::string calls = readFile(trace);
    EXPECT_NE(calls.find("Vexa_Util_InitializeLoggingPath(1, \"/tmp/mylog\")\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("Vexa_Util_SetLogLevel(3)\n"), std::string::npos);
    EXPECT_LT(calls.find("Vexa_RuntimeList_StringToRuntime(\"gpu\")"),
              calls.find("Vexa_RuntimeList_StringToRuntime(\"cpu\")"));
}

}  // namespace
