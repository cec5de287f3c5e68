#include "ApiTrace.h"

#include <cstdlib>
#include <mutex>

namespace vexart {
namespace {

struct TraceSink {
    std::FILE* file = nullptr;
    std::mutex lock;
    TraceSink() {
        const char* path = std::getenv("VEXA_API_TRACE");
        if (path != nullptr && *path != '\0') file = std::fopen(path, "a");
    }
    ~TraceSink() {
        if (file != nullptr) std::fclose(file);
    }
};

TraceSink& sink() {
    static TraceSink s;
    return s;
}

}  // namespace

std::FILE* traceFile() { return sink().file; }

void traceWrite(const std::string& line) {
    TraceSink& s = sink();
    std::lock_guard<std::mutex> guard(s.lock);
    std::fwrite(line.data(), 1, line.size(), s.file);
    std::fflush(s.file);
}

}  // namespace vexart
