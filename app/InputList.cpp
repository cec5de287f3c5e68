#include "app/InputList.h"

#include <iostream>
#include <set>

#include "app/StringUtil.h"
#include "platform/Files.h"

bool readInputListFile(const std::string& path, std::vector<std::string>& lines) {
    // A list may come from a pipe (<(...)) or /dev/null; the bound is what
    // stops an endless source. 64 MiB holds a million lines of long paths.
    constexpr uint64_t kMaxListBytes = uint64_t{64} << 20;
    std::string text;
    switch (readBounded(path, kMaxListBytes, text)) {
        case BoundedRead::Done:
            break;
        case BoundedRead::TooLarge:
            std::cerr << "Failed to open input file: " << path << " (larger than 64 MiB)\n";
            return false;
        case BoundedRead::OpenFailed:
        case BoundedRead::ReadFailed:
            std::cerr << "Failed to open input file: " << path << "\n";
            return false;
    }
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        size_t len = end - start;
        if (len > 0 && text[start + len - 1] == '\r') --len;
        if (len > 0) lines.emplace_back(text, start, len);
        start = end + 1;
    }
    return true;
}

InputLine parseInputLine(const std::string& line) {
    InputLine parsed;
    for (auto& token : splitString(line, ' ')) {
        const size_t sep = token.size() >= 2 ? token.find(":=") : std::string::npos;
        if (sep == std::string::npos) {
            parsed.paths.push_back(std::move(token));
        } else {
            parsed.names.push_back(token.substr(0, sep));
            parsed.paths.push_back(token.substr(sep + 2));
        }
    }
    return parsed;
}

bool parseInputList(const std::vector<std::string>& lines, InputListTables& tables) {
    std::string graph;
    size_t i = 0;
    while (i < lines.size()) {
        const std::string& line = lines[i];
        if (line[0] == '$') {
            tables.hasGraphSections = true;
            graph = line.substr(1);
            ++i;
            continue;
        }
        if (line[0] == '#' || line[0] == '%') {
            auto& table = line[0] == '#' ? tables.outputLayerNames : tables.outputTensorNames;
            if (table.count(graph) == 0) table.emplace(graph, makeStringList(splitString(line.substr(1), ' ')));
            ++i;
            continue;
        }
        std::vector<StringListHandle> names;
        std::vector<InputFileQueue> queues;
        for (; i < lines.size() && lines[i][0] != '$'; ++i) {
            InputLine parsed = parseInputLine(lines[i]);
            const std::set<std::string> unique(parsed.names.begin(), parsed.names.end());
            if (!parsed.names.empty() && unique.size() < parsed.names.size()) {
                std::cerr << "Input names have duplicate at input line " << i + 1 << "\n";
                return false;
            }
            names.push_back(makeStringList(parsed.names));
            for (size_t j = 0; j < parsed.paths.size(); ++j) {
                if (queues.size() == j) queues.emplace_back();
                queues[j].push_back(std::move(parsed.paths[j]));
            }
        }
        if (queues.empty()) {
            std::cerr << "Input list is empty";
            return false;
        }
        tables.inputNamesPerLine.emplace(graph, std::move(names));
        tables.inputFileQueues.emplace(graph, std::move(queues));
    }
    return true;
}

void mergeOutputTensorRequests(const std::map<std::string, std::vector<std::string>>& requests,
                               InputListTables& tables) {
    for (const auto& [graph, names] : requests) {
        const std::string key = tables.hasGraphSections ? graph : std::string();
        if (tables.outputTensorNames.count(key) == 0) tables.outputTensorNames.emplace(key, makeStringList(names));
    }
}
