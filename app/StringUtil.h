// Small text helpers shared by the option validation and the input readers.
#pragma once

#include <string>
#include <vector>

// Pieces of `text` between `delimiter`s, each without a trailing carriage
// return; empty pieces are dropped.
std::vector<std::string> splitString(const std::string& text, char delimiter);

// Leading decimal floating-point number of `text`, 0 when there is none.
double leadingDouble(const std::string& text);

// Leading unsigned decimal integer of `text`, 0 when there is none.
unsigned long long leadingUnsigned(const std::string& text);
