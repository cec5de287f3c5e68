#include "Container.h"

#include <zip.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace vexart {
namespace {

using json = nlohmann::json;

constexpr const char* kManifest = "manifest.json";
constexpr const char* kFormat = "vexa-dlc";
constexpr int kFormatVersion = 1;

struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};

std::string readEntry(zip_t* z, const std::string& name) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat(z, name.c_str(), 0, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0) {
        throw std::runtime_error("container has no entry '" + name + "'");
    }
    if (st.size > (uint64_t{1} << 32)) throw std::runtime_error("container entry '" + name + "' is too large");
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> f(zip_fopen(z, name.c_str(), 0), zip_fclose);
    if (!f) throw std::runtime_error("cannot read container entry '" + name + "': " + zip_strerror(z));
    std::string data(static_cast<size_t>(st.size), '\0');
    size_t got = 0;
    while (got < data.size()) {
        const zip_int64_t n = zip_fread(f.get(), data.data() + got, data.size() - got);
        if (n <= 0) throw std::runtime_error("container entry '" + name + "' is truncated or corrupt");
        got += static_cast<size_t>(n);
    }
    return data;
}

// A source of unknown size, which makes the library write ZIP64 headers.
struct StreamSource {
    std::string data;
    size_t pos = 0;
    static zip_int64_t callback(void* self, void* buf, zip_uint64_t len, zip_source_cmd_t cmd) {
        auto* s = static_cast<StreamSource*>(self);
        switch (cmd) {
            case ZIP_SOURCE_OPEN: s->pos = 0; return 0;
            case ZIP_SOURCE_READ: {
                const size_t n = std::min<size_t>(static_cast<size_t>(len), s->data.size() - s->pos);
                std::memcpy(buf, s->data.data() + s->pos, n);
                s->pos += n;
                return static_cast<zip_int64_t>(n);
            }
            case ZIP_SOURCE_CLOSE: return 0;
            case ZIP_SOURCE_STAT: {
                zip_stat_init(static_cast<zip_stat_t*>(buf));
                return sizeof(zip_stat_t);
            }
            case ZIP_SOURCE_ERROR: return 0;
            case ZIP_SOURCE_FREE: delete s; return 0;
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                                      ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
            default: return -1;
        }
    }
};

void addEntry(zip_t* z, const std::string& name, std::string data) {
    auto* state = new StreamSource{std::move(data), 0};
    zip_source_t* src = zip_source_function(z, StreamSource::callback, state);
    if (src == nullptr) {
        delete state;
        throw std::runtime_error(std::string("cannot add container entry: ") + zip_strerror(z));
    }
    const zip_int64_t index = zip_file_add(z, name.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(src);
        throw std::runtime_error(std::string("cannot add container entry: ") + zip_strerror(z));
    }
    zip_set_file_compression(z, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 0);
}

}  // namespace

ContainerModel readContainer(const uint8_t* bytes, size_t size) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(bytes, size, 0, &error);
    if (src == nullptr) throw std::runtime_error(std::string("cannot read container: ") + zip_error_strerror(&error));
    std::unique_ptr<zip_t, ZipCloser> z(zip_open_from_source(src, ZIP_RDONLY | ZIP_CHECKCONS, &error));
    if (!z) {
        zip_source_free(src);
        const std::string why = zip_error_strerror(&error);
        zip_error_fini(&error);
        throw std::runtime_error("not a valid container archive: " + why);
    }
    json manifest;
    try {
        manifest = json::parse(readEntry(z.get(), kManifest));
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("container manifest is not valid JSON: ") + e.what());
    }
    ContainerModel model;
    try {
        if (manifest.value("format", "") != kFormat) throw std::runtime_error("container manifest has no vexa-dlc format tag");
        if (manifest.value("version", 0) != kFormatVersion) {
            throw std::runtime_error("container format version " + manifest.value("version", json()).dump() +
                                     " is not supported");
        }
        model.modelVersion = manifest.value("modelVersion", "");
        for (const auto& g : manifest.at("graphs")) {
            ContainerGraph graph;
            graph.name = g.at("name").get<std::string>();
            graph.onnx = readEntry(z.get(), g.at("file").get<std::string>());
            const json encodings = g.value("encodings", json::object());
            for (const auto& [tensor, e] : encodings.items()) {
                TensorEncoding enc;
                enc.bitWidth = e.value("bitWidth", 8u);
                enc.stepSize = e.value("stepSize", 0.0f);
                enc.stepExactly0 = e.value("stepExactly0", uint64_t{0});
                if (enc.bitWidth != 8 && enc.bitWidth != 16) {
                    throw std::runtime_error("encoding of '" + tensor + "' has bit width " +
                                             std::to_string(enc.bitWidth));
                }
                graph.encodings[tensor] = enc;
            }
            model.graphs.push_back(std::move(graph));
        }
        for (const auto& r : manifest.value("cacheRecords", json::array())) {
            model.cacheRecords.push_back(
                {r.at("name").get<std::string>(), r.at("graphs").get<std::vector<std::string>>(),
                 r.value("digest", "")});
        }
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("container manifest is malformed: ") + e.what());
    }
    if (model.graphs.empty()) throw std::runtime_error("container holds no graph");
    return model;
}

void writeContainer(const ContainerModel& model, const std::string& path) {
    json manifest = {{"format", kFormat}, {"version", kFormatVersion}, {"modelVersion", model.modelVersion}};
    json graphs = json::array();
    for (size_t i = 0; i < model.graphs.size(); ++i) {
        const auto& g = model.graphs[i];
        json enc = json::object();
        for (const auto& [tensor, e] : g.encodings) {
            enc[tensor] = {{"bitWidth", e.bitWidth}, {"stepSize", e.stepSize}, {"stepExactly0", e.stepExactly0}};
        }
        graphs.push_back({{"name", g.name}, {"file", "graphs/" + std::to_string(i) + ".onnx"}, {"encodings", enc}});
    }
    manifest["graphs"] = graphs;
    json records = json::array();
    for (const auto& r : model.cacheRecords) {
        records.push_back({{"name", r.name}, {"graphs", r.graphs}, {"digest", r.digest}});
    }
    manifest["cacheRecords"] = records;

    // Written beside the target and renamed, so a failed save leaves the old file intact.
    const std::string tmp = path + ".tmp";
    int err = 0;
    std::unique_ptr<zip_t, ZipCloser> z(zip_open(tmp.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err));
    if (!z) throw std::runtime_error("cannot create " + tmp);
    addEntry(z.get(), kManifest, manifest.dump(2));
    for (size_t i = 0; i < model.graphs.size(); ++i) {
        addEntry(z.get(), "graphs/" + std::to_string(i) + ".onnx", model.graphs[i].onnx);
    }
    if (zip_close(z.get()) != 0) {
        const std::string why = zip_strerror(z.get());
        std::remove(tmp.c_str());
        throw std::runtime_error("cannot write " + path + ": " + why);
    }
    z.release();
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw std::runtime_error("cannot replace " + path);
    }
}

std::string graphsDigest(const ContainerModel& model, const std::vector<std::string>& graphs) {
    size_t h = 1469598103934665603ull;
    for (const auto& name : graphs) {
        for (const auto& g : model.graphs) {
            if (g.name == name) h ^= std::hash<std::string>()(g.onnx) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
        }
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016zx", h);
    return buf;
}

}  // namespace vexart
