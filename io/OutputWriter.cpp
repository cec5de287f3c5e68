#include "io/OutputWriter.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "runtimelib/StringLists.h"
#include "platform/Files.h"

std::string outputFilePath(const std::string& outputDir, const std::string& tensorName, uint32_t resultIndex) {
    std::string name = tensorName;
    for (char& c : name) {
        switch (c) {
            case '<': case '>': case '"': case '\\': case '|': case '?': case ':': case '*': c = '_'; break;
            default: break;
        }
    }
    // A name keeps its slashes (subdirectories, and a leading "/" that
    // lands where "Result_N//x" points) and its "." components, none of
    // which can leave the result directory; a ".." component could, so each
    // becomes "__". What ".." does is left open by the path rules.
    for (size_t start = 0; start <= name.size();) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (end - start == 2 && name.compare(start, 2, "..") == 0) name.replace(start, 2, "__");
        start = end + 1;
    }
    return outputDir + "/Result_" + std::to_string(resultIndex) + "/" + name + ".raw";
}

bool makeDirectories(const std::string& path) {
    if (path.empty() || path == "." || path == "..") return true;
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash != 0 && !makeDirectories(path.substr(0, slash))) return false;
    const PathKind kind = pathKind(path);
    if (kind == PathKind::Other) errno = EEXIST;
    if (kind != PathKind::Missing) return kind == PathKind::Directory;
    return makeDirectory(path, 0755);
}

bool writeRawFile(const std::string& path, const void* data, size_t bytes) {
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        const std::string dir = path.substr(0, slash);
        errno = 0;
        if (!makeDirectories(dir)) {
            std::cerr << "Failed to create output directory: " << dir << ": " << std::strerror(errno) << std::endl;
            return false;
        }
    }
    switch (writeFileBytes(path, data, bytes)) {
        case FileWrite::OpenFailed:
            std::cerr << "Failed to open output file for writing: " << path << std::endl;
            return false;
        case FileWrite::WriteFailed:
            std::cerr << "Failed to write data to: " << path << std::endl;
            return false;
        case FileWrite::Done:
            break;
    }
    return true;
}

bool writeTensorOutputs(const std::string& outputDir, Vexa_TensorMap_Handle_t outputs, uint64_t files,
                        uint64_t pieces, uint32_t base) {
    const StringListHandle names(Vexa_TensorMap_GetTensorNames(outputs));
    for (const auto& name : stringListItems(names.get())) {
        Vexa_ITensor_Handle_t tensor = Vexa_TensorMap_GetTensor_Ref(outputs, name.c_str());
        const size_t elements = Vexa_ITensor_GetSize(tensor);
        const float* data = Vexa_ITensor_GetData(tensor);
        for (uint64_t i = 0; i < files; ++i) {
            const std::string path = outputFilePath(outputDir, name, static_cast<uint32_t>(base + i));
            if (!writeRawFile(path, data + (elements * i) / pieces, (elements * 4) / pieces)) return false;
        }
    }
    return true;
}
