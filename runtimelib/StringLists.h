// The library's string lists to and from standard strings, and its last
// error text: what every part of the tool needs beside the handles.
#pragma once

#include <iostream>
#include <string>
#include <vector>

#include "runtimelib/UniqueHandle.h"

// A new library string list holding `items`.
inline StringListHandle makeStringList(const std::vector<std::string>& items) {
    StringListHandle list(Vexa_StringList_Create());
    for (const auto& item : items) Vexa_StringList_Append(list.get(), item.c_str());
    return list;
}

inline std::vector<std::string> stringListItems(Vexa_StringList_Handle_t list) {
    std::vector<std::string> items;
    const size_t n = Vexa_StringList_Size(list);
    for (size_t i = 0; i < n; ++i) {
        const char* s = Vexa_StringList_At(list, i);
        items.emplace_back(s != nullptr ? s : "");
    }
    return items;
}

// A text the library returned, or "" for none: streaming a null pointer
// would silence the stream for the rest of the run.
inline const char* libraryText(const char* text) { return text != nullptr ? text : ""; }

// Writes the library's last error text and a line end to standard error,
// for failures that carry no message of their own.
inline void reportLastError() { std::cerr << libraryText(Vexa_ErrorCode_GetLastErrorString()) << std::endl; }
