// dlopen-style loading of optional libraries, with a record of libraries
// opened as local (skipped by DL_DEFAULT searches) and a per-thread text
// of the last failure.
#pragma once

#include <cstdint>
#include <string>

constexpr int DL_NOW = 1;
constexpr int DL_LOCAL = 2;
constexpr int DL_GLOBAL = 4;
constexpr int DL_NOLOAD = 8;

// Pseudo-handle for dlSym: every loaded library that is not local.
void* const DL_DEFAULT = reinterpret_cast<void*>(static_cast<uintptr_t>(4));

void* dlOpen(const char* path, int flags);
void* dlSym(void* handle, const char* name);
int dlClose(void* handle);
int dlAddrToPath(const void* address, std::string& path);

// The calling thread's last failure text (null before any failure).
const char* dlLastError();
