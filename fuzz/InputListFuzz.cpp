// Input list text parsed into its per-graph tables.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>

#include "app/InputList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    while (std::getline(in, line)) {
        if (!line.empty()) lines.push_back(line);
    }
    std::ostringstream sink;
    auto* oldErr = std::cerr.rdbuf(sink.rdbuf());
    InputListTables tables;
    parseInputList(lines, tables);
    mergeOutputTensorRequests({{"g", {"a", "b"}}, {"", {"c"}}}, tables);
    std::cerr.rdbuf(oldErr);
    return 0;
}
