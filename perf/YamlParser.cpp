#include "perf/YamlParser.h"

#include "platform/Files.h"

#include <sstream>

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        // Text-mode reading on the original platform folds CR LF into LF; a
        // carriage return with no line feed after it (end of file) stays.
        if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string trimBlanks(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    const size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

}  // namespace

YamlParser::YamlParser(const std::string& path) {
    // A perf file is a few dozen keys; anything past 1 MiB (an endless
    // device among them) is taken as a file that cannot be opened.
    std::string text;
    if (readBounded(path, uint64_t{1} << 20, text) != BoundedRead::Done) return;
    root_ = std::make_shared<Node>("root");
    indentation_[-1] = root_;
    parseLines(splitLines(text));
}

std::shared_ptr<Node> YamlParser::parseText(const std::string& text) {
    YamlParser p;
    p.root_ = std::make_shared<Node>("root");
    p.indentation_[-1] = p.root_;
    p.parseLines(splitLines(text));
    return p.root_;
}

void YamlParser::parseLines(const std::vector<std::string>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        const size_t colon = line.find(':');
        const std::string keyText = line.substr(0, colon);
        const size_t indent = keyText.find_first_not_of(' ') == std::string::npos ? keyText.size()
                                                                                   : keyText.find_first_not_of(' ');
        const std::string key = keyText.substr(indent);
        if (key.empty()) continue;
        std::string value;
        if (colon != std::string::npos) {
            const size_t next = line.find(':', colon + 1);
            value = line.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
        }
        std::vector<std::string> values;
        if (value.empty() && i + 1 < lines.size() && lines[i + 1].find('-') != std::string::npos) {
            size_t j = i + 1;
            values = parseSequence(j, lines);
            i = j - 1;  // the last item line, or i itself when there was none
        } else if (!value.empty()) {
            values.push_back(trimBlanks(value));
        }
        if (values.empty()) values.emplace_back();
        auto node = std::make_shared<Node>(key);
        node->setValues(std::move(values));
        const long level = static_cast<long>(indent);
        auto parent = indentation_.lower_bound(level);
        --parent;  // greatest indentation strictly below; -1 (root) always qualifies
        parent->second->addChild(key, node);
        indentation_[level] = node;
    }
}

// Reads items from `index` on; leaves `index` one past the last item.
std::vector<std::string> YamlParser::parseSequence(size_t& index, const std::vector<std::string>& lines) const {
    std::vector<std::string> items;
    size_t column = std::string::npos;
    for (; index < lines.size(); ++index) {
        const std::string& line = lines[index];
        const size_t dash = line.find('-');
        if (line.empty() || dash == std::string::npos || dash == 0) break;
        if (column != std::string::npos && dash != column) break;
        if (line[dash - 1] != ' ' || dash + 1 >= line.size() || line[dash + 1] != ' ') break;
        column = dash;
        const size_t next = line.find('-', dash + 1);
        items.push_back(line.substr(dash + 1, next == std::string::npos ? std::string::npos : next - dash - 1));
    }
    return items;
}

PerfParamMap YamlParser::getKeyValues(const std::shared_ptr<Node>& section) {
    PerfParamMap map;
    for (const auto& [name, child] : section->getChildren()) map[name] = child->values();
    return map;
}
