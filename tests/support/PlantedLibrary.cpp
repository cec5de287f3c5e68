// A library that must never be loaded: loading it leaves a marker file.
#include <cstdio>
#include <cstdlib>

namespace {

struct Marker {
    Marker() {
        if (const char* path = std::getenv("VEXA_PLANTED_MARKER")) {
            if (FILE* f = std::fopen(path, "w")) std::fclose(f);
        }
    }
} marker;

}  // namespace
