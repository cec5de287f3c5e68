// The input list file: per graph, the raw files feeding each input
// position, optional input names per line, and output layer and tensor
// requests.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "io/InputFileQueue.h"
#include "runtimelib/StringLists.h"

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

