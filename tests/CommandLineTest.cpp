#include "Misc/CommandLine.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>

#include "app/RunConfig.h"

namespace {

using Misc::CommandLine;

// A parser with one option of each kind the tool registers.
struct Settings {
    bool flag = false;
    int32_t num = -1;
    uint32_t u = 7;
    uint64_t u64 = 0;
    double d = 0;
    std::string text = "initial";
    std::vector<std::string> list;
    std::string req;
};

struct Parsed {
    CommandLine::ParseResult result;
    std::string out;
    std::string err;
};

Parsed parseWith(Settings& s, std::vector<std::string> args, bool withRequired = false) {
    CommandLine p;
    p.addOption({"--flag"}, &s.flag, "a flag");
    p.addOption({"-n", "--num"}, &s.num, "a number");
    p.addOption({"--u"}, &s.u, "unsigned");
    p.addOption({"--u64"}, &s.u64, "wide");
    p.addOption({"--d"}, &s.d, "double");
    p.addOption({"--text"}, &s.text, "text");
    p.addOption({"--list"}, &s.list, "list");
    if (withRequired) p.addOption({"--req"}, &s.req, "needed", "required");
    args.insert(args.begin(), "prog");
    std::vector<const char*> argv;
    for (auto& a : args) argv.push_back(a.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto r = p.parse(static_cast<int>(argv.size()), argv.data(), /*quiet=*/true);
    Parsed parsed{r, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    return parsed;
}

TEST(CommandLineScan, ValuesReachTheirSettings) {
    struct Case {
        std::vector<std::string> args;
        std::function<void(const Settings&)> check;
    };
    const std::vector<Case> cases = {
        {{"--flag=false"}, [](const Settings& s) { EXPECT_TRUE(s.flag); }},
        {{"--text", "a", "--text", "b"}, [](const Settings& s) { EXPECT_EQ(s.text, "a"); }},
        {{"--list", "x", "--list", "y z"},
         [](const Settings& s) { EXPECT_EQ(s.list, (std::vector<std::string>{"x", "y z"})); }},
        {{"--text", "--list"}, [](const Settings& s) { EXPECT_EQ(s.text, "--list"); }},
        {{"--text=a=b"}, [](const Settings& s) { EXPECT_EQ(s.text, "a=b"); }},
        {{"--text="}, [](const Settings& s) { EXPECT_EQ(s.text, ""); }},
        {{"--num", "3 4"}, [](const Settings& s) { EXPECT_EQ(s.num, 3); }},
        {{"--num", "  -12xyz"}, [](const Settings& s) { EXPECT_EQ(s.num, -12); }},
        {{"--num", "-2147483648"}, [](const Settings& s) { EXPECT_EQ(s.num, INT32_MIN); }},
        {{"-n", "5"}, [](const Settings& s) { EXPECT_EQ(s.num, 5); }},
        {{"--n", "6"}, [](const Settings& s) { EXPECT_EQ(s.num, 6); }},
        {{"-n=7"}, [](const Settings& s) { EXPECT_EQ(s.num, 7); }},
        {{"--u", "-1"}, [](const Settings& s) { EXPECT_EQ(s.u, 4294967295u); }},
        {{"--u", "4294967295"}, [](const Settings& s) { EXPECT_EQ(s.u, 4294967295u); }},
        {{"--u64", "4294967295"}, [](const Settings& s) { EXPECT_EQ(s.u64, 4294967295u); }},
        {{"--d", "0.25"}, [](const Settings& s) { EXPECT_DOUBLE_EQ(s.d, 0.25); }},
        {{"--u", "12 13", "--u", "14"}, [](const Settings& s) { EXPECT_EQ(s.u, 12u); }},
    };
    for (const auto& c : cases) {
        Settings s;
        const Parsed p = parseWith(s, c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(p.result, CommandLine::Continue) << p.err;
        c.check(s);
    }
}

TEST(CommandLineScan, RefusedArgumentsReportTheirError) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"--text"}, "Invalid argument passed --text"},
        {{"-text"}, "Invalid argument passed -text"},
        {{"model.dlc"}, "Invalid argument passed model.dlc"},
        {{"-"}, "Invalid argument passed -"},
        {{"--"}, "Invalid argument passed --"},
        {{"--nosuch"}, "Invalid argument passed --nosuch"},
        {{"--Flag"}, "Invalid argument passed --Flag"},
        {{"--fla"}, "Invalid argument passed --fla"},
        {{"-ab"}, "Invalid argument passed -ab"},
        {{"--d=abc"}, "Value cannot be converted"},
        {{"--u64", "5000000000"}, "Value cannot be converted"},
        {{"--u", "4294967296"}, "Value cannot be converted"},
        {{"--num", "2147483648"}, "Value cannot be converted"},
        {{"--num", "x1"}, "Value cannot be converted"},
        {{"--num", "   "}, "Value cannot be converted"},
        {{"--num="}, "Value cannot be converted"},
        {{"--d", "1e999"}, "Value cannot be converted"},
    };
    for (const auto& c : cases) {
        Settings s;
        const Parsed p = parseWith(s, c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(p.result, CommandLine::Error);
        EXPECT_EQ(p.err, "Command Line Error: " + c.error + "\n");
        EXPECT_EQ(p.out, "");
    }
}

TEST(CommandLineScan, RequiredOptionMustOccur) {
    Settings s;
    Parsed p = parseWith(s, {"--text", "a"}, true);
    EXPECT_EQ(p.result, CommandLine::Error);
    EXPECT_EQ(p.err, "Command Line Error: Missing required argument\n");
    p = parseWith(s, {"--req", "x"}, true);
    EXPECT_EQ(p.result, CommandLine::Continue);
    EXPECT_EQ(s.req, "x");
}

TEST(CommandLineBuiltins, HelpAndVersionWinOverEverythingElse) {
    struct Case {
        std::vector<std::string> args;
        bool help;
    };
    const std::vector<Case> cases = {
        {{"--help", "--no_such_option"}, true}, {{"--version", "--text"}, false}, {{"--help=yes"}, true},
        {{"--version", "--help"}, true},        {{"--h"}, true},                  {{"--text", "-h"}, true},
        {{"bare", "--version", "-x"}, false},
    };
    for (const auto& c : cases) {
        Settings s;
        const Parsed p = parseWith(s, c.args, true);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(p.result, CommandLine::BuiltinHandled);
        EXPECT_EQ(p.out, c.help ? "" : "VEXA v2.48.0.260626120635\n");
        EXPECT_EQ(p.err.find("Command Line Error"), std::string::npos);
    }
    Settings s;
    const Parsed p = parseWith(s, {"-help"});
    EXPECT_EQ(p.err, "Command Line Error: Invalid argument passed -help\n");
}

TEST(CommandLineBuiltins, ValidatorsAllRunAndAnyFalseIsAnError) {
    CommandLine p;
    int calls = 0;
    p.addValidator([&](const CommandLine&) { return ++calls, false; });
    p.addValidator([&](const CommandLine& cl) { return ++calls, !cl.isSet("--help"); });
    const char* argv[] = {"prog"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(p.parse(1, argv, false), CommandLine::Error);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(err.rfind("Command Line Options:\n", 0), 0u);
}

TEST(CommandLineRegistration, MalformedAndDuplicateNamesAreRefused) {
    struct Case {
        std::vector<std::string> names;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"-a", "--aa", "--aaa"}, "Bad Name"}, {{"-ab"}, "Bad Name"},    {{"x"}, "Bad Name"},
        {{"--1x"}, "Bad Name"},                {{"-1"}, "Bad Name"},     {{"---x"}, "Bad Name"},
        {{"--help"}, "Already Added"},         {{"-h"}, "Already Added"}, {{"--version"}, "Already Added"},
    };
    for (const auto& c : cases) {
        CommandLine p;
        bool b = false;
        SCOPED_TRACE(::testing::PrintToString(c.names));
        try {
            p.addOption(c.names, &b, "");
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
        EXPECT_EQ(p.mainGroup().options.size(), 2u);
    }
}

TEST(CommandLineRegistration, TheHundredAndFirstOptionOverflows) {
    CommandLine p;
    bool b = false;
    for (int i = 0; i < 98; ++i) p.addOption({"--o" + std::to_string(i)}, &b, "");
    testing::internal::CaptureStderr();
    EXPECT_THROW(p.addOption({"--one_more"}, &b, ""), std::runtime_error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "You have exceded max opterations of 100, and must increase the value in CommandLine\n");
    EXPECT_EQ(p.mainGroup().options.size(), 100u);
}

TEST(CommandLineHelp, LayoutOfShortLongRequiredAndEmptyEntries) {
    CommandLine p;
    std::string t;
    bool b = false;
    p.addOption({"--req"}, &t, "Needed.\nSecond line.", "required");
    p.addOption({"--a_rather_long_option"}, &t, "One.\nTwo.");
    p.addOption({"--quiet"}, &b, "");
    p.addOption({"--hidden"}, &b, "never listed", "", "secret");
    p.addOption({"-q", "--qq"}, &b, "Both names.");
    std::ostringstream out;
    p.printHelp(out);
    EXPECT_EQ(out.str(),
              "Command Line Options:\n"
              "  [ -h, --help ]        Displays this help message.\n"
              "  [ --version ]         Displays version information.\n"
              "  --req=<val>           Needed.\n"
              "                        Second line.\n"
              "  [ --a_rather_long_option=<val> ]\n"
              "                        One.\n"
              "                        Two.\n"
              "  [ --quiet ]           \n"
              "  [ -q, --qq ]          Both names.\n");
}

TEST(CommandLineHelp, ToolListingHasEveryVisibleOptionInOrder) {
    CommandLine p;
    RunConfig config;
    registerOptions(p, config);
    EXPECT_EQ(p.mainGroup().options.size(), 66u);
    size_t names = 0;
    for (const auto& o : p.mainGroup().options) names += !o->shortName.empty() + !o->longName.empty();
    EXPECT_EQ(names, 67u);

    std::ostringstream out;
    p.printHelp(out);
    const std::string help = out.str();
    std::istringstream lines(help);
    std::string line;
    std::vector<std::string> entries;
    while (std::getline(lines, line)) {
        if (line.rfind("  [ ", 0) == 0 || line.rfind("  --", 0) == 0) entries.push_back(line);
    }
    EXPECT_EQ(entries.size(), 64u);
    EXPECT_EQ(entries.front(), "  [ -h, --help ]        Displays this help message.");
    EXPECT_EQ(entries[2], "  --container=<val>     Path to the DL container containing the network.");
    EXPECT_EQ(entries[3], "  --input_list=<val>    Path to a file listing the inputs for the network.");
    EXPECT_EQ(entries.back(), "  [ --enable_dsp_vtcm_retention ]");
    EXPECT_NE(help.find("\n  [ --dbglogs ]         \n"), std::string::npos);
    EXPECT_NE(help.find("\n  [ --output_dir=<val> ]\n                        The directory to save output to. "
                        "Defaults to ./output\n"),
              std::string::npos);
    EXPECT_EQ(help.find("buffer_data_type"), std::string::npos);
    EXPECT_EQ(help.find("get_pid"), std::string::npos);
}

}  // namespace
