// Arguments separated by NUL bytes, parsed by the option parser with one
// option of every kind.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Misc/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args = {"prog"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    args.push_back(current);
    bool flag = false;
    int32_t i32 = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    double d = 0;
    std::string text;
    std::vector<std::string> list;
    Misc::CommandLine p;
    p.addOption({"-f", "--flag"}, &flag, "flag");
    p.addOption({"--int"}, &i32, "int", "required");
    p.addOption({"--uint"}, &u32, "uint");
    p.addOption({"--wide"}, &u64, "wide");
    p.addOption({"--real"}, &d, "real");
    p.addOption({"--text"}, &text, "text", "secret");
    p.addOption({"--list"}, &list, "list");
    p.addValidator([](const Misc::CommandLine& c) { return c.isSet("--flag") || !c.isSet("-f"); });
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    // The parser writes its listing and errors; keep them out of the fuzzer's output.
    std::ostringstream sink;
    auto* oldErr = std::cerr.rdbuf(sink.rdbuf());
    auto* oldOut = std::cout.rdbuf(sink.rdbuf());
    p.parse(static_cast<int>(argv.size()), argv.data(), false);
    std::cerr.rdbuf(oldErr);
    std::cout.rdbuf(oldOut);
    return 0;
}
