// The YAML reader, the perf key table and perf configuration files in runs.
#include <gtest/gtest.h>

#include "perf/PerfKeys.h"
#include "perf/YamlParser.h"
#include "support/Models.h"
#include "support/Subprocess.h"

namespace {

std::vector<std::string> valuesOf(const std::shared_ptr<Node>& parent, const std::string& child) {
    const auto children = parent->getChildren();
    const auto it = children.find(child);
    return it == children.end() ? std::vector<std::string>{"<absent>"} : it->second->values();
}

std::shared_ptr<Node> child(const std::shared_ptr<Node>& parent, const std::string& name) {
    const auto children = parent->getChildren();
    const auto it = children.find(name);
    return it == children.end() ? nullptr : it->second;
}

TEST(YamlReader, ValuesCommentsAndColons) {
    const auto root = YamlParser::parseText(
        "general:\n"
        "  A: 5 # five\n"
        "  B:   \n"
        "  C: x:y\n"
        "  D:#comment only\n"
        "#  E: 1\n"
        "  : no key\n"
        "\n"
        "  F:  spaced value  \n");
    const auto general = child(root, "general");
    ASSERT_TRUE(general);
    EXPECT_EQ(valuesOf(general, "A"), std::vector<std::string>{"5"});
    EXPECT_EQ(valuesOf(general, "B"), std::vector<std::string>{""});
    EXPECT_EQ(valuesOf(general, "C"), std::vector<std::string>{"x"});
    EXPECT_EQ(valuesOf(general, "D"), std::vector<std::string>{""});
    EXPECT_EQ(valuesOf(general, "F"), std::vector<std::string>{"spaced value"});
    EXPECT_EQ(general->getChildren().size(), 5u);
    EXPECT_EQ(valuesOf(root, "general"), std::vector<std::string>{""});
}

TEST(YamlReader, SequencesUnderKeysWithoutValue) {
    struct Case {
        std::string text;
        std::vector<std::string> values;
        std::string nextKey;  // a key that must exist after the sequence, empty for none
    };
    const std::vector<Case> cases = {
        {"K:\n  - 5\n  - 6\nL: 1\n", {" 5", " 6"}, "L"},
        {"K:\n  -5\n", {""}, "-5"},
        {"K:\n  - 5\n    - 6\n", {" 5"}, "- 6"},
        {"K:\n  - a-b\n", {" a"}, ""},
        {"K:\n  - 7 # kept\n", {" 7 # kept"}, ""},
        {"K:\n  - 8", {" 8"}, ""},
        {"K:\n  -\n", {""}, "-"},
        {"K:   \n  - 9\n", {""}, "- 9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto root = YamlParser::parseText(c.text);
        EXPECT_EQ(valuesOf(root, "K"), c.values);
        if (!c.nextKey.empty()) {
            EXPECT_TRUE(child(root, c.nextKey) || child(child(root, "K"), c.nextKey)) << c.nextKey;
        }
    }
}

TEST(YamlReader, IndentationTabsRepeatsAndStaleLevels) {
    const auto root = YamlParser::parseText(
        "a:\n"
        "    deep: 1\n"
        "b:\n"
        "  mid: 2\n"
        "      later: 3\n"
        "\tTabbed: 4\n"
        "init :\n"
        "b:\n"
        "  again: 5\n");
    const auto a = child(root, "a");
    ASSERT_TRUE(a);
    EXPECT_EQ(valuesOf(a, "deep"), std::vector<std::string>{"1"});
    // "later" is deeper than the stale entry of "deep" (4 blanks), so it hangs under it.
    const auto deep = child(a, "deep");
    EXPECT_EQ(valuesOf(deep, "later"), std::vector<std::string>{"3"});
    EXPECT_EQ(valuesOf(root, "\tTabbed"), std::vector<std::string>{"4"});
    EXPECT_TRUE(child(root, "init "));
    EXPECT_FALSE(child(root, "init"));
    const auto b = child(root, "b");
    EXPECT_FALSE(child(b, "mid"));  // the repeated key replaced the first node
    EXPECT_TRUE(child(b, "again"));
}

TEST(YamlReader, MissingAndEmptyFiles) {
    EXPECT_EQ(YamlParser("/nonexistent/perf.yaml").getRoot(), nullptr);
    TempDir dir;
    const auto root = YamlParser(dir.write("empty.yaml", "")).getRoot();
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->getChildren().empty());
    const auto crlf = YamlParser(dir.write("crlf.yaml", "init:\r\n  X: 1\r\n")).getRoot();
    EXPECT_EQ(valuesOf(child(crlf, "init"), "X"), std::vector<std::string>{"1"});
    // Only a carriage return before a line feed goes: one ending the file stays.
    const auto lone = YamlParser(dir.write("lone.yaml", "init:\r\n  X: 1\r")).getRoot();
    EXPECT_EQ(valuesOf(child(lone, "init"), "X"), std::vector<std::string>{"1\r"});
    // Only regular files are read: a directory or a device cannot be opened.
    EXPECT_EQ(YamlParser(dir.path()).getRoot(), nullptr);
    EXPECT_EQ(YamlParser("/dev/zero").getRoot(), nullptr);
}

TEST(PerfKeys, ValidationReportsTheFirstUnknownKeyAsWritten) {
    EXPECT_EQ(knownPerfKeys().size(), 70u);
    EXPECT_EQ(knownPerfKeys().back(), "PERFORMANCE_PROFILE");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(validatePerfKeys({{"dsp_rpc_polling_time_us", {"1"}}}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid perf parameter key : dsp_rpc_polling_time_us\n");
    EXPECT_TRUE(validatePerfKeys({}));
    EXPECT_TRUE(validatePerfKeys({{"PERFORMANCE_PROFILE", {"BURST"}}}));
}

// Runs the tool with a perf configuration file and returns the trace.
class PerfRun : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
        packContainer(dir.file("m.dlc"), {{"m", &m}});
        dir.write("one.raw", floatsToBytes({1}));
        dir.write("list.txt", "one.raw\n");
    }
    ProcessResult run(const std::string& yaml, std::vector<std::string> extra = {}) {
        dir.write("perf.yaml", yaml);
        std::vector<std::string> args = {"--container", "m.dlc", "--input_list", "list.txt", "--perf_config_yaml",
                                         "perf.yaml", "--profiling_level", "off"};
        args.insert(args.end(), extra.begin(), extra.end());
        ProcessOptions o;
        o.workingDirectory = dir.path();
        o.env = {{"VEXA_API_TRACE", dir.file("trace.txt")}};
        std::remove(dir.file("trace.txt").c_str());
        return runProcess(VEXA_TOOL_PATH, args, o);
    }
    std::string trace() { return readFile(dir.file("trace.txt")); }
};

TEST_F(PerfRun, EveryKeyReachesItsSetterInTableOrder) {
    // Key, value written in the file, setter and the value it must receive.
    struct Row {
        const char* key;
        const char* value;
        const char* setter;
        long long passed;
    };
    const char* V = "VEXA_DCVS_VOLTAGE_VCORNER_NOM";              // 0x60
    const char* E = "VEXA_DCVS_EXP_VOLTAGE_VCORNER_NOM";          // 0x200
    const char* C = "VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D2";  // 3
    const char* K = "VEXA_KMX_CLK_PERF_LOW";                      // 1
    const char* X = "VEXA_DCVS_EXP_VCORNER_SVS";                  // 0x180
    const char* P = "VEXA_DSP_PERF_INFRASTRUCTURE_POWERMODE_PERFORMANCE_MODE";  // 16
    const std::vector<Row> rows = {
        {"DSP_ENABLE_DCVS_START", "true", "EnableDspDcvsStart", 1},
        {"DSP_ENABLE_DCVS_DONE", "True", "EnableDspDcvsDone", 0},
        {"ASYNC_VOTING_ENABLE", "true", "EnableAsyncVoting", 1},
        {"DSP_SLEEP_LATENCY_START_US", "+12abc", "SleepLatencyStart", 12},
        {"DSP_SLEEP_LATENCY_DONE_US", "-7", "SleepLatencyDone", -7},
        {"HIGH_PERFORMANCE_MODE", "1", "HighPerformanceModeEnabled", 0},
        {"DSP_HYSTERESIS_TIME_US", "0x10", "DspHysteresisTime", 0},
        {"DSP_KMX_TIMEOUT_US", "2147483647", "KmxTimeoutIntervalUs", 2147483647},
        {"POWERMODE_START", P, "PowerModeStart", 16},
        {"DCVS_VOLTAGE_CORNER_MIN_START", V, "DcvsVoltageCornerDcvsVCornerMinStart", 0x60},
        {"DCVS_VOLTAGE_CORNER_MIN_DONE", V, "DcvsVoltageCornerDcvsVCornerMinDone", 0x60},
        {"DCVS_VOLTAGE_CORNER_MAX_START", "VEXA_DCVS_VOLTAGE_VCORNER_TURBO_L1", "DcvsVoltageCornerDcvsVCornerMaxStart", 0x92},
        {"DCVS_VOLTAGE_CORNER_MAX_DONE", "VEXA_DCVS_VOLTAGE_VCORNER_TURBO_L2", "DcvsVoltageCornerDcvsVCornerMaxDone", 0x92},
        {"DCVS_VOLTAGE_CORNER_TARGET_START", V, "DcvsVoltageCornerDcvsVCornerTargetStart", 0x60},
        {"DCVS_VOLTAGE_CORNER_TARGET_DONE", "VEXA_DCVS_VOLTAGE_CORNER_DISABLE", "DcvsVoltageCornerDcvsVCornerTargetDone", 0x10},
        {"DSP_SLEEP_DISABLE_MS", "3", "SleepDisable", 3},
        {"DSP_RPC_POLLING_TIME_US", " 9999", "DspRpcPollingTime", 9999},
        {"ADAPTIVE_POLLING_TIME_US", "4", "AdaptivePollingTime", 4},
        {"BUS_VOLTAGE_CORNER_MIN_START", V, "BusVoltageCornerMinStart", 0x60},
        {"BUS_VOLTAGE_CORNER_MIN_DONE", V, "BusVoltageCornerMinDone", 0x60},
        {"BUS_VOLTAGE_CORNER_MAX_START", V, "BusVoltageCornerMaxStart", 0x60},
        {"BUS_VOLTAGE_CORNER_MAX_DONE", V, "BusVoltageCornerMaxDone", 0x60},
        {"BUS_VOLTAGE_CORNER_TARGET_START", V, "BusVoltageCornerTargetStart", 0x60},
        {"BUS_VOLTAGE_CORNER_TARGET_DONE", V, "BusVoltageCornerTargetDone", 0x60},
        {"CORE_VOLTAGE_CORNER_MIN_START", V, "CoreVoltageCornerminMvStart", 0x60},
        {"CORE_VOLTAGE_CORNER_MIN_DONE", V, "CoreVoltageCornerMinMvDone", 0x60},
        {"CORE_VOLTAGE_CORNER_MAX_START", V, "CoreVoltageCornerMaxMvStart", 0x60},
        {"CORE_VOLTAGE_CORNER_MAX_DONE", V, "CoreVoltageCornerMaxMvDone", 0x60},
        {"CORE_VOLTAGE_CORNER_TARGET_START", V, "CoreVoltageCornerTargetMvStart", 0x60},
        {"CORE_VOLTAGE_CORNER_TARGET_DONE", V, "CoreVoltageCornerTargetMvDone", 0x60},
        {"POWERMODE_DONE", "VEXA_DSP_PERF_INFRASTRUCTURE_POWERMODE_UNKNOWN", "PowerModeDone", 0x7FFFFFFF},
        {"FAST_INIT_ENABLE", "yes", "FastInitEnabled", 0},
        {"DDR_PERF_MODE_ENABLE", "true", "DdrPerfMode", 1},
        {"DSP_KMX_CLOCK_PERF_MODE", K, "KmxClkPerfMode", 1},
        {"DSP_KMX_VOLTAGE_CORNER_MIN", X, "KmxVoltageCornerMin", 0x180},
        {"DSP_KMX_VOLTAGE_CORNER_MAX", "VEXA_DCVS_EXP_VCORNER_MAX", "KmxVoltageCornerMax", 0xFFFF},
        {"DSP_KMX_VOLTAGE_CORNER_TARGET", X, "KmxVoltageCornerTarget", 0x180},
        {"DSP_CENG_VOLTAGE_CORNER_MIN_START", V, "CengVoltageCornerMinStart", 0x60},
        {"DSP_CENG_VOLTAGE_CORNER_TARGET_START", V, "CengVoltageCornerTargetStart", 0x60},
        {"DSP_CENG_VOLTAGE_CORNER_MAX_START", V, "CengVoltageCornerMaxStart", 0x60},
        {"DSP_CENG_CLOCK_PERF_MODE_START", "VEXA_KMX_CLK_PERF_HIGH", "CengClkPerfModeStart", 0},
        {"DSP_CENG_VOLTAGE_CORNER_MIN_DONE", V, "CengVoltageCornerMinDone", 0x60},
        {"DSP_CENG_VOLTAGE_CORNER_TARGET_DONE", V, "CengVoltageCornerTargetDone", 0x60},
        {"DSP_CENG_VOLTAGE_CORNER_MAX_DONE", V, "CengVoltageCornerMaxDone", 0x60},
        {"DSP_CENG_CLOCK_PERF_MODE_DONE", K, "CengClkPerfModeDone", 1},
        {"DSP_CENG_EXP_VOLTAGE_CORNER_MIN_START", E, "CengExpVoltageCornerMinStart", 0x200},
        {"DSP_CENG_EXP_VOLTAGE_CORNER_TARGET_START", E, "CengExpVoltageCornerTargetStart", 0x200},
        {"DSP_CENG_EXP_VOLTAGE_CORNER_MAX_START", E, "CengExpVoltageCornerMaxStart", 0x200},
        {"DSP_CENG_EXP_CLOCK_PERF_MODE_START", C, "CengExpClkPerfModeStart", 3},
        {"DSP_CENG_EXP_VOLTAGE_CORNER_MIN_DONE", E, "CengExpVoltageCornerMinDone", 0x200},
        {"DSP_CENG_EXP_VOLTAGE_CORNER_TARGET_DONE", E, "CengExpVoltageCornerTargetDone", 0x200},
        {"DSP_CENG_EXP_VOLTAGE_CORNER_MAX_DONE", E, "CengExpVoltageCornerMaxDone", 0x200},
        {"DSP_CENG_EXP_CLOCK_PERF_MODE_DONE", "VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_MAX", "CengExpClkPerfModeDone", 255},
        {"BUS_EXP_VOLTAGE_CORNER_MIN_START", E, "BusVoltageCornerExpMinMvStart", 0x200},
        {"BUS_EXP_VOLTAGE_CORNER_TARGET_START", E, "BusVoltageCornerExpTargetMvStart", 0x200},
        {"BUS_EXP_VOLTAGE_CORNER_MAX_START", E, "BusVoltageCornerExpMaxMvStart", 0x200},
        {"BUS_EXP_VOLTAGE_CORNER_MIN_DONE", E, "BusVoltageCornerExpMinMvDone", 0x200},
        {"BUS_EXP_VOLTAGE_CORNER_TARGET_DONE", E, "BusVoltageCornerExpTargetMvDone", 0x200},
        {"BUS_EXP_VOLTAGE_CORNER_MAX_DONE", E, "BusVoltageCornerExpMaxMvDone", 0x200},
        {"CORE_EXP_VOLTAGE_CORNER_MIN_START", E, "CoreVoltageCornerExpMinMvStart", 0x200},
        {"CORE_EXP_VOLTAGE_CORNER_TARGET_START", E, "CoreVoltageCornerExpTargetMvStart", 0x200},
        {"CORE_EXP_VOLTAGE_CORNER_MAX_START", E, "CoreVoltageCornerExpMaxMvStart", 0x200},
        {"CORE_EXP_VOLTAGE_CORNER_MIN_DONE", E, "CoreVoltageCornerExpMinMvDone", 0x200},
        {"CORE_EXP_VOLTAGE_CORNER_TARGET_DONE", E, "CoreVoltageCornerExpTargetMvDone", 0x200},
        {"CORE_EXP_VOLTAGE_CORNER_MAX_DONE", E, "CoreVoltageCornerExpMaxMvDone", 0x200},
        {"CORE_CLOCK_PERF_MODE_START", C, "CoreClkPerfModeStart", 3},
        {"CORE_CLOCK_PERF_MODE_DONE", C, "CoreClkPerfModeDone", 3},
        {"BUS_CLOCK_PERF_MODE_START", C, "BusClkPerfModeStart", 3},
        {"BUS_CLOCK_PERF_MODE_DONE", "VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_UNKNOWN", "BusClkPerfModeDone", 0x7FFFFFFF},
    };
    ASSERT_EQ(rows.size(), 69u);
    std::string yaml = "init:\n";
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) yaml += std::string("  ") + it->key + ": " + it->value + "\n";
    const ProcessResult r = run(yaml);
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    const std::string t = trace();
    size_t at = t.find("Vexa_VEXAPerfProfile_Create()");
    ASSERT_NE(at, std::string::npos) << t;
    for (const auto& row : rows) {
        const std::string call =
            std::string("Vexa_VEXAPerfProfile_Set") + row.setter + "(" + std::to_string(row.passed) + ")\n";
        const size_t next = t.find(call, at);
        ASSERT_NE(next, std::string::npos) << row.key << ": " << call;
        at = next;
    }
    EXPECT_LT(at, t.find("Vexa_VEXABuilder_SetCustomPerfProfile("));
    EXPECT_EQ(t.find("Vexa_VEXABuilder_SetPerformanceProfile("), std::string::npos);
}

TEST_F(PerfRun, ProfilesAreHandedOverAtTheirMoments) {
    const ProcessResult r = run(
        "general:\n  DSP_RPC_POLLING_TIME_US: 1\n  FAST_INIT_ENABLE: true\n"
        "init:\n  PERFORMANCE_PROFILE: BURST\n  DSP_RPC_POLLING_TIME_US: 2\n"
        "execute:\n  DSP_SLEEP_DISABLE_MS: 3\n"
        "deinit:\n  PERFORMANCE_PROFILE: POWER_SAVER\n  DSP_SLEEP_DISABLE_MS: 4\n",
        {"--perf_profile", "low_balanced"});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    const std::vector<std::string> order = {
        "Vexa_VEXAPerfProfile_CreatePreset(5)",        "Vexa_VEXAPerfProfile_SetDspRpcPollingTime(1)",
        "Vexa_VEXAPerfProfile_SetFastInitEnabled(1)",  "Vexa_VEXAPerfProfile_SetDspRpcPollingTime(2)",
        "Vexa_VEXABuilder_SetCustomPerfProfile(",      "Vexa_VEXAPerfProfile_Delete()",
        "Vexa_VEXABuilder_Build(",                     "Vexa_VEXAPerfProfile_CreatePreset(8)",
        "Vexa_VEXAPerfProfile_SetSleepDisable(3)",     "Vexa_VEXA_SetCustomPerfProfile(",
        "Vexa_VEXA_ExecuteITensorsForNetwork(",        "Vexa_VEXAPerfProfile_CreatePreset(2)",
        "Vexa_VEXAPerfProfile_SetSleepDisable(4)",     "Vexa_VEXA_SetCustomPerfProfile(",
        "Vexa_VEXA_Delete(",
    };
    const std::string t = trace();
    size_t at = 0;
    for (const auto& call : order) {
        const size_t next = t.find(call, at);
        ASSERT_NE(next, std::string::npos) << call << "\n" << t;
        at = next;
    }
}

TEST_F(PerfRun, OnlyAGeneralSectionBehavesLikeNoFile) {
    const ProcessResult r = run("general:\n  DSP_RPC_POLLING_TIME_US: 1\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(trace().find("Vexa_VEXABuilder_SetPerformanceProfile(1)"), std::string::npos);
    EXPECT_EQ(trace().find("Vexa_VEXAPerfProfile_"), std::string::npos);
}

TEST_F(PerfRun, BadFilesSectionsKeysAndValuesEndTheRun) {
    struct Case {
        std::string yaml;
        std::string out;  // ends standard output
        std::string err;
    };
    const std::vector<Case> cases = {
        {"", "Perf yaml file perf.yaml is empty\n", ""},
        {"# only a comment\n", "Perf yaml file perf.yaml is empty\n", ""},
        {"general:\n", "general section is empty in the perf config yaml file \n", ""},
        {"init:\n", "init section is empty in the perf config yaml file \n", ""},
        {"execute:\nother:\n", "execute section is empty in the perf config yaml file \n", ""},
        {"deinit:\nx: 1\n", "deinit section is empty in the perf config yaml file \n", ""},
        {"init:\n  PERFORMANCE_PROFILE: burst\n", "", "Invalid performance profile value \n"},
        {"init:\n  X: 1\n", "Invalid perf parameter key : X\n", ""},
        {"general:\n  x: 1\ninit:\n  DSP_RPC_POLLING_TIME_US: 1\n", "Invalid perf parameter key : x\n", ""},
        {"init:\n  POWERMODE_START: PERFORMANCE_MODE\n", "", "Invalid powermodestart value\n"},
        {"init:\n  DSP_CENG_CLOCK_PERF_MODE_START: VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH\n", "",
         "Invalid ceng clock perf mode start value\n"},
        {"init:\n  DSP_KMX_VOLTAGE_CORNER_MAX:\n    - VEXA_DCVS_EXP_VCORNER_MAX\n", "",
         "Invalid kmx voltage corner max value\n"},
        {"init:\n  DSP_RPC_POLLING_TIME_US: 2147483648\n", "",
         "Invalid integer value \"2147483648\" for perf parameter key DSP_RPC_POLLING_TIME_US\n"},
        {"init:\n  DSP_RPC_POLLING_TIME_US: fast\n", "",
         "Invalid integer value \"fast\" for perf parameter key DSP_RPC_POLLING_TIME_US\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.yaml);
        const ProcessResult r = run(c.yaml);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_GE(r.out.size(), c.out.size());
        EXPECT_EQ(r.out.substr(r.out.size() - c.out.size()), c.out);
    }
    const ProcessResult missing =
        runProcess(VEXA_TOOL_PATH, {"--container", dir.file("m.dlc"), "--input_list", dir.file("list.txt"),
                                    "--perf_config_yaml", dir.file("absent.yaml")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("Cannot open perf config yaml file: " + dir.file("absent.yaml") + "\n"),
              std::string::npos);
}

}  // namespace
