// The input list file: per graph, the raw files feeding each input
// position, optional input names per line, and output layer and tensor
// requests.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "runtimelib/UniqueHandle.h"

// One input position's raw file paths in line order, consumed from the
// front. Consumed paths stay stored, so that a replay rewinds the queue
// instead of copying it; a queue costs one vector, not a deque's blocks.
class InputFileQueue {
public:
    InputFileQueue() = default;
    InputFileQueue(std::initializer_list<std::string> paths) : paths_(paths) {}
    void push_back(std::string path) { paths_.push_back(std::move(path)); }
    bool empty() const { return head_ == paths_.size(); }
    size_t size() const { return paths_.size() - head_; }
    const std::string& front() const { return paths_[head_]; }
    const std::string& operator[](size_t i) const { return paths_[head_ + i]; }
    // The paths not yet consumed.
    auto begin() const { return paths_.begin() + static_cast<std::ptrdiff_t>(head_); }
    auto end() const { return paths_.end(); }
    void pop_front() { ++head_; }
    void rewind() { head_ = 0; }

private:
    std::vector<std::string> paths_;
    size_t head_ = 0;
};

struct InputListTables {
    bool hasGraphSections = false;
    std::map<std::string, StringListHandle> outputLayerNames;
    std::map<std::string, StringListHandle> outputTensorNames;
    std::map<std::string, std::vector<StringListHandle>> inputNamesPerLine;
    std::map<std::string, std::vector<InputFileQueue>> inputFileQueues;
};

// The non-empty lines of the file; false after "Failed to open input file: ".
bool readInputListFile(const std::string& path, std::vector<std::string>& lines);

// False after the message for a duplicate name or a section without files.
bool parseInputList(const std::vector<std::string>& lines, InputListTables& tables);

struct InputLine {
    std::vector<std::string> names;
    std::vector<std::string> paths;
};
InputLine parseInputLine(const std::string& line);

// Adds the `--set_output_tensors` requests; entries from "%" lines stay.
void mergeOutputTensorRequests(const std::map<std::string, std::vector<std::string>>& requests,
                               InputListTables& tables);

// A new library string list holding `items`.
StringListHandle makeStringList(const std::vector<std::string>& items);
std::vector<std::string> stringListItems(Vexa_StringList_Handle_t list);
