// Where the DSP driver's user-mode libraries are installed (UTF-8, empty
// when unknown), computed once per process.
#pragma once

#include <string>

std::string dspDriverDirectory();

// Joins a directory and a file name with "/" unless the directory is empty
// or already ends in a separator.
std::string joinLibraryPath(const std::string& directory, const std::string& file);
