// Arbitrary text through the perf configuration reader and key checks.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>

#include "perf/PerfKeys.h"
#include "perf/YamlParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto root = YamlParser::parseText(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream sink;
    auto* oldOut = std::cout.rdbuf(sink.rdbuf());
    for (const auto& [name, section] : root->getChildren()) validatePerfKeys(YamlParser::getKeyValues(section));
    std::cout.rdbuf(oldOut);
    return 0;
}
