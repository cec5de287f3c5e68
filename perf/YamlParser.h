// The tool's reader for the perf configuration file: block mappings by
// indentation, plain values after a colon, block sequences under a key
// without value, "#" comments. No syntax errors: every line becomes a node
// or is skipped.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

using PerfParamMap = std::unordered_map<std::string, std::vector<std::string>>;

class Node {
public:
    explicit Node(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    const std::vector<std::string>& values() const { return values_; }
    void setValues(std::vector<std::string> values) { values_ = std::move(values); }
    std::unordered_map<std::string, std::shared_ptr<Node>> getChildren() const { return children_; }
    void addChild(const std::string& name, std::shared_ptr<Node> child) { children_[name] = std::move(child); }

private:
    std::string name_;
    std::vector<std::string> values_;
    std::unordered_map<std::string, std::shared_ptr<Node>> children_;
};

class YamlParser {
public:
    explicit YamlParser(const std::string& path);
    // Parses text directly, as if read from a file.
    static std::shared_ptr<Node> parseText(const std::string& text);

    std::shared_ptr<Node> getRoot() const { return root_; }

    // Each child's name to a copy of its values; grandchildren are ignored.
    static PerfParamMap getKeyValues(const std::shared_ptr<Node>& section);

private:
    YamlParser() = default;
    void parseLines(const std::vector<std::string>& lines);
    std::vector<std::string> parseSequence(size_t& index, const std::vector<std::string>& lines) const;

    std::shared_ptr<Node> root_;
    std::map<long, std::shared_ptr<Node>> indentation_;
};
