#include "Container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>
#include <libdeflate.h>

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message_lite.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>
#include <vector>
#include <stdexcept>

#include "FileReplace.h"
#include "UntrustedJson.h"

namespace vexart {
namespace {
struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};
}  // namespace

class ContainerArchive {
public:
    explicit ContainerArchive(zip_t* z) : z_(z) {}
    zip_t* get() const { return z_.get(); }

private:
    std::unique_ptr<zip_t, ZipCloser> z_;
};

namespace {

using json = nlohmann::json;

constexpr const char* kManifest = "manifest.json";
constexpr const char* kFormat = "vexa-dlc";
constexpr int kFormatVersion = 1;
// A manifest is a few kilobytes; a serialized ONNX model cannot exceed 2 GiB.
constexpr uint64_t kMaxManifestBytes = uint64_t{16} << 20;
constexpr uint64_t kMaxEntryBytes = (uint64_t{1} << 31) - 1;

// Inflates entries in chunks and charges every byte to one budget, so that
// a forged size in the archive costs nothing and a bomb stops at the cap.
class EntryReader {
public:
    EntryReader(zip_t* z, uint64_t archiveSize, uint64_t limit)
        : z_(z), archiveSize_(archiveSize), limit_(limit), budget_(limit) {}

    // Bytes that are not read now but count as if they were.
    void charge(uint64_t bytes) {
        if (bytes > budget_) {
            throw std::runtime_error("container decompresses to more than the limit of " + std::to_string(limit_) +
                                     " bytes");
        }
        budget_ -= bytes;
    }

    std::string read(const std::string& name, uint64_t maxBytes) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat(z_, name.c_str(), 0, &st) != 0) throw std::runtime_error("container has no entry '" + name + "'");
        return read(st.index, name, maxBytes);
    }

    std::string read(zip_uint64_t index, const std::string& name, uint64_t maxBytes) {
        std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> f(zip_fopen_index(z_, index, 0), zip_fclose);
        if (!f) throw std::runtime_error("cannot read container entry '" + name + "': " + zip_strerror(z_));
        std::string data;
        // A stored entry's size is backed by bytes in the archive, which was
        // opened whole: reserving it saves the copies of growing.
        zip_stat_t st;
        if (zip_stat_index(z_, index, 0, &st) == 0 && (st.valid & ZIP_STAT_COMP_METHOD) != 0 &&
            (st.valid & ZIP_STAT_SIZE) != 0 && (st.valid & ZIP_STAT_COMP_SIZE) != 0 && st.comp_method == ZIP_CM_STORE &&
            st.size == st.comp_size && st.size <= archiveSize_ && st.size <= maxBytes && st.size <= budget_) {
            data.reserve(static_cast<size_t>(st.size));
        }
        char chunk[1 << 16];
        for (;;) {
            const zip_int64_t n = zip_fread(f.get(), chunk, sizeof chunk);
            if (n < 0) throw std::runtime_error("container entry '" + name + "' is truncated or corrupt");
            if (n == 0) break;
            const auto got = static_cast<uint64_t>(n);
            if (data.size() + got > maxBytes) {
                throw std::runtime_error("container entry '" + name + "' is larger than " + std::to_string(maxBytes) +
                                         " bytes");
            }
            charge(got);
            data.append(chunk, static_cast<size_t>(got));
        }
        return data;
    }

private:
    zip_t* z_;
    const uint64_t archiveSize_;
    const uint64_t limit_;
    uint64_t budget_;
};

// A regular file open for reading, at most `maxBytes` long: never a device,
// pipe or directory, and opened non-blocking so that a FIFO cannot hang it.
struct RegularFile {
    int fd = -1;
    uint64_t size = 0;

    RegularFile(const std::string& path, uint64_t maxBytes) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) throw ContainerFileError("cannot read the file: " + std::string(std::strerror(errno)));
        struct stat st {};
        if (fstat(fd, &st) != 0) fail("cannot read the file: " + std::string(std::strerror(errno)));
        if (!S_ISREG(st.st_mode)) fail("not a regular file");
        size = static_cast<uint64_t>(st.st_size);
        if (size > maxBytes) fail("the file is larger than the limit of " + std::to_string(maxBytes) + " bytes");
    }
    ~RegularFile() {
        if (fd >= 0) close(fd);
    }
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

private:
    [[noreturn]] void fail(const std::string& why) {
        close(fd);
        fd = -1;
        throw ContainerFileError(why);
    }
};

// A source of unknown size, which makes the library write ZIP64 headers.
// It reads the caller's bytes in place; they outlive the archive's close.
struct StreamSource {
    const std::string* data;
    size_t pos = 0;
    static zip_int64_t callback(void* self, void* buf, zip_uint64_t len, zip_source_cmd_t cmd) {
        auto* s = static_cast<StreamSource*>(self);
        switch (cmd) {
            case ZIP_SOURCE_OPEN: s->pos = 0; return 0;
            case ZIP_SOURCE_READ: {
                const size_t n = std::min<size_t>(static_cast<size_t>(len), s->data->size() - s->pos);
                std::memcpy(buf, s->data->data() + s->pos, n);
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

void addEntry(zip_t* z, const std::string& name, const std::string& data, bool compress) {
    auto* state = new StreamSource{&data, 0};
    zip_source_t* src = zip_source_function(z, StreamSource::callback, state);
    if (src == nullptr) {
        delete state;
        throw std::runtime_error(std::string("cannot add container entry: ") + zip_strerror(z));
    }
    const zip_int64_t index = zip_file_add(z, name.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(src);
        throw std::runtime_error(std::string("cannot add container entry '" + name + "': ") + zip_strerror(z));
    }
    zip_set_file_compression(z, static_cast<zip_uint64_t>(index), compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
}

struct ArchiveEntry {
    std::string name;
    const std::string* data;  // null: copied as it is from `from`
    bool compress;
    zip_t* from = nullptr;
    uint64_t index = 0;
};

// An entry of another archive, copied without being inflated or held.
void copyEntry(zip_t* z, const ArchiveEntry& e) {
    zip_source_t* src = zip_source_zip(z, e.from, e.index, 0, 0, -1);
    if (src == nullptr) {
        throw std::runtime_error("cannot copy container entry '" + e.name + "': " + zip_strerror(z));
    }
    const zip_int64_t index = zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(src);
        throw std::runtime_error("cannot add container entry '" + e.name + "': " + zip_strerror(z));
    }
    zip_set_file_compression(z, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
}

// The archive, built in memory.
std::vector<uint8_t> archiveBytes(const std::vector<ArchiveEntry>& entries) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (buffer == nullptr) throw std::runtime_error("cannot create an archive in memory");
    zip_source_keep(buffer);
    std::unique_ptr<zip_source_t, void (*)(zip_source_t*)> keep(buffer, zip_source_free);
    zip_t* z = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    if (z == nullptr) {
        zip_source_free(buffer);  // the reference the archive would have taken over
        zip_error_fini(&error);
        throw std::runtime_error("cannot create an archive in memory");
    }
    std::unique_ptr<zip_t, ZipCloser> archive(z);
    for (const auto& e : entries) {
        if (e.data != nullptr) {
            addEntry(z, e.name, *e.data, e.compress);
        } else {
            copyEntry(z, e);
        }
    }
    if (zip_close(z) != 0) throw std::runtime_error(std::string("cannot write the archive: ") + zip_strerror(z));
    archive.release();
    std::vector<uint8_t> bytes;
    if (zip_source_open(buffer) != 0 || zip_source_seek(buffer, 0, SEEK_END) != 0) {
        throw std::runtime_error("cannot read the archive back");
    }
    const zip_int64_t size = zip_source_tell(buffer);
    if (size < 0 || zip_source_seek(buffer, 0, SEEK_SET) != 0) throw std::runtime_error("cannot read the archive back");
    bytes.resize(static_cast<size_t>(size));
    const zip_int64_t got = zip_source_read(buffer, bytes.data(), bytes.size());
    zip_source_close(buffer);
    if (got != size) throw std::runtime_error("cannot read the archive back");
    return bytes;
}

}  // namespace

ContainerLimits containerLimitsFromEnvironment() {
    ContainerLimits limits;
    if (const char* v = std::getenv("VEXA_CONTAINER_MAX_BYTES")) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(v, &end, 10);
        if (errno == 0 && end != v && *end == '\0' && n > 0) limits.totalBytes = n;
    }
    return limits;
}

TensorEncoding encodingFromJson(const std::string& tensor, const json& e) {
    auto bad = [&](const std::string& why) {
        return std::runtime_error("encoding of '" + tensor + "' " + why);
    };
    if (!e.is_object()) throw bad("is not an object");
    // Absent keys take their defaults, written as the parser would read them
    // (unsigned), so that they pass the checks below.
    const json bitWidth = e.value("bitWidth", json(uint64_t{8}));
    const json stepSize = e.value("stepSize", json(0.0));
    const json offset = e.value("stepExactly0", json(uint64_t{0}));
    if (!bitWidth.is_number_unsigned() || (bitWidth.get<uint64_t>() != 8 && bitWidth.get<uint64_t>() != 16)) {
        throw bad("has bit width " + describeJson(bitWidth) + " (8 and 16 are supported)");
    }
    if (!stepSize.is_number() || !std::isfinite(stepSize.get<double>()) || stepSize.get<double>() < 0 ||
        stepSize.get<double>() > 3.4028234663852886e38) {
        throw bad("has step size " + describeJson(stepSize) + " (a finite float32 of at least 0 is needed)");
    }
    TensorEncoding enc;
    enc.bitWidth = static_cast<uint32_t>(bitWidth.get<uint64_t>());
    if (!offset.is_number_unsigned() || offset.get<uint64_t>() >= (uint64_t{1} << enc.bitWidth)) {
        throw bad("has stepExactly0 " + describeJson(offset) + " (0 to " + std::to_string((uint64_t{1} << enc.bitWidth) - 1) +
                  " for " + std::to_string(enc.bitWidth) + " bits)");
    }
    enc.stepSize = static_cast<float>(stepSize.get<double>());
    enc.stepExactly0 = offset.get<uint64_t>();
    if (e.contains("stepSizes") || e.contains("axis")) {
        const json& steps = e.value("stepSizes", json());
        const json& axis = e.value("axis", json());
        if (!axis.is_number_unsigned() || axis.get<uint64_t>() > 8) throw bad("has axis " + describeJson(axis) + " (0 to 8)");
        if (!steps.is_array() || steps.empty() || steps.size() > (size_t{1} << 20)) {
            throw bad("has stepSizes that are not a list of 1 to 1048576 steps");
        }
        for (const json& s : steps) {
            if (!s.is_number() || !std::isfinite(s.get<double>()) || s.get<double>() < 0 ||
                s.get<double>() > 3.4028234663852886e38) {
                throw bad("has step size " + describeJson(s) + " in stepSizes (a finite float32 of at least 0 is needed)");
            }
            enc.channelSteps.push_back(static_cast<float>(s.get<double>()));
        }
        enc.axis = static_cast<int64_t>(axis.get<uint64_t>());
    }
    if (e.contains("biasCorrection")) {
        const json& shifts = e["biasCorrection"];
        if (!shifts.is_array() || shifts.empty() || shifts.size() > (size_t{1} << 20)) {
            throw bad("has a biasCorrection that is not a list of 1 to 1048576 numbers");
        }
        for (const json& s : shifts) {
            if (!s.is_number() || !std::isfinite(s.get<double>()) || std::fabs(s.get<double>()) > 3.4028234663852886e38) {
                throw bad("has " + describeJson(s) + " in biasCorrection (a finite float32 is needed)");
            }
            enc.biasCorrection.push_back(static_cast<float>(s.get<double>()));
        }
    }
    return enc;
}

std::vector<uint8_t> readRegularFile(const std::string& path, uint64_t maxBytes) {
    RegularFile file(path, maxBytes);
    std::vector<uint8_t> bytes(static_cast<size_t>(file.size));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(file.fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ContainerFileError("cannot read the file: " + std::string(std::strerror(errno)));
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

namespace {

// A stored entry whose bytes the archive holds, so reading it later cannot
// inflate past its size; null for anything else, which is read at once.
std::shared_ptr<const ArchivedGraph> storedEntry(zip_t* z, const std::string& name, uint64_t archiveSize) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat(z, name.c_str(), 0, &st) != 0) throw std::runtime_error("container has no entry '" + name + "'");
    const zip_uint64_t needed = ZIP_STAT_INDEX | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD |
                                ZIP_STAT_CRC | ZIP_STAT_ENCRYPTION_METHOD;
    if ((st.valid & needed) != needed || st.comp_method != ZIP_CM_STORE || st.encryption_method != ZIP_EM_NONE ||
        st.size != st.comp_size || st.size > archiveSize || st.size > kMaxEntryBytes) {
        return nullptr;
    }
    return std::make_shared<const ArchivedGraph>(ArchivedGraph{st.index, st.size, st.crc});
}

// `archive`: set, the archive stays open for the graphs' bytes.
ContainerModel readArchive(zip_t* z, uint64_t archiveSize, const ContainerLimits& limits,
                           std::shared_ptr<ContainerArchive> archive) {
    EntryReader entries(z, archiveSize, limits.totalBytes);
    ContainerModel model;
    model.manifestText = entries.read(kManifest, kMaxManifestBytes);
    const json manifest = parseUntrustedJson(model.manifestText, "container manifest");
    std::set<std::string> used{kManifest};
    std::set<std::string> names;
    try {
        if (!manifest.is_object() || manifest.value("format", "") != kFormat) {
            throw std::runtime_error("container manifest has no vexa-dlc format tag");
        }
        if (manifest.value("version", 0) != kFormatVersion) {
            throw std::runtime_error("container format version " + describeJson(manifest.value("version", json())) +
                                     " is not supported");
        }
        model.modelVersion = manifest.value("modelVersion", "");
        // Every entry is named once, checked before anything is inflated.
        for (const auto& g : manifest.at("graphs")) {
            const std::string file = g.at("file").get<std::string>();
            if (!used.insert(file).second) {
                throw std::runtime_error("container manifest names the entry '" + file + "' twice");
            }
        }
        for (const auto& g : manifest.at("graphs")) {
            ContainerGraph graph;
            graph.name = g.at("name").get<std::string>();
            // Graphs are looked up by name; the packer refuses two of one name too.
            if (!names.insert(graph.name).second) {
                throw std::runtime_error("container manifest names the graph '" + graph.name + "' twice");
            }
            graph.file = g.at("file").get<std::string>();
            graph.archived = archive != nullptr ? storedEntry(z, graph.file, archiveSize) : nullptr;
            if (graph.archived != nullptr) {
                entries.charge(graph.archived->size);
            } else {
                graph.onnx = entries.read(graph.file, kMaxEntryBytes);
            }
            const auto encodings = g.find("encodings");
            if (encodings != g.end()) {
                if (!encodings->is_object()) {
                    throw std::runtime_error("encodings of graph '" + graph.name + "' are not an object");
                }
                for (const auto& [tensor, e] : encodings->items()) graph.encodings[tensor] = encodingFromJson(tensor, e);
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
    const zip_int64_t count = zip_get_num_entries(z, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(z, static_cast<zip_uint64_t>(i), 0);
        // Directory entries carry nothing; the files under them keep their paths.
        if (name == nullptr || used.count(name) != 0 || model.otherEntries.count(name) != 0 ||
            (*name != '\0' && name[std::strlen(name) - 1] == '/')) {
            continue;
        }
        model.otherEntries[name] = entries.read(static_cast<zip_uint64_t>(i), name, kMaxEntryBytes);
    }
    model.archive = std::move(archive);
    return model;
}

// Streams a stored entry, reading exactly its size and checking its CRC.
// libzip checks a whole entry's CRC with zlib's table-driven crc32, a
// third of the read of a 100 MB graph here; it leaves windows of an entry
// unchecked, so the entry is read as two (all but its last byte, then that
// byte) and the CRC computed with libdeflate's carry-less multiply, a
// quarter of the time.
class EntryStream : public google::protobuf::io::CopyingInputStream {
public:
    EntryStream(zip_t* z, const ArchivedGraph& entry, const std::string& name)
        : z_(z), entry_(entry), name_(name), left_(entry.size) {
        if (entry.size > 1) {
            windows_ = {{0, entry.size - 1}, {entry.size - 1, 1}};
        } else if (entry.size == 1) {
            windows_ = {{0, 1}};
        }
    }
    ~EntryStream() override { closeWindow(); }
    EntryStream(const EntryStream&) = delete;
    EntryStream& operator=(const EntryStream&) = delete;

    // Fills the buffer across windows, as one read of the entry would.
    int Read(void* buffer, int size) override {
        auto* at = static_cast<uint8_t*>(buffer);
        uint64_t got = 0;
        const uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(size), left_);
        while (!failed_ && got < want) {
            if (source_ == nullptr && !openWindow()) {
                failed_ = true;
                break;
            }
            const zip_int64_t n = zip_source_read(source_, at + got, want - got);
            if (n < 0) {
                failed_ = true;
            } else if (n == 0) {
                closeWindow();
            } else {
                got += static_cast<uint64_t>(n);
            }
        }
        left_ -= got;
        crc_ = libdeflate_crc32(crc_, at, static_cast<size_t>(got));
        return got > 0 ? static_cast<int>(got) : failed_ ? -1 : 0;
    }
    // All bytes read and the entry's checksum holds.
    bool complete() const { return !failed_ && left_ == 0 && crc_ == entry_.crc; }

private:
    bool openWindow() {
        if (next_ == windows_.size()) return false;
        const auto [start, length] = windows_[next_++];
        source_ = zip_source_zip(z_, z_, entry_.index, 0, start, static_cast<zip_int64_t>(length));
        if (source_ != nullptr && zip_source_open(source_) == 0) return true;
        if (source_ != nullptr) zip_source_free(source_);
        source_ = nullptr;
        throw std::runtime_error("cannot read container entry '" + name_ + "': " + zip_strerror(z_));
    }
    void closeWindow() {
        if (source_ == nullptr) return;
        zip_source_close(source_);
        zip_source_free(source_);
        source_ = nullptr;
    }

    zip_t* z_;
    ArchivedGraph entry_;
    std::string name_;
    std::vector<std::pair<uint64_t, uint64_t>> windows_;  // start, length
    size_t next_ = 0;
    zip_source_t* source_ = nullptr;
    uint64_t left_;
    uint32_t crc_ = 0;
    bool failed_ = false;
};

zip_t* archiveOf(const ContainerModel& model, const ContainerGraph& graph) {
    if (model.archive == nullptr) throw std::runtime_error("graph '" + graph.name + "' has no archive to be read from");
    return model.archive->get();
}

}  // namespace

ContainerModel readContainer(const uint8_t* bytes, size_t size, const ContainerLimits& limits) {
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
    return readArchive(z.get(), size, limits, nullptr);
}

ContainerModel openContainerFile(const std::string& path, const ContainerLimits& limits) {
    RegularFile file(path, limits.totalBytes);
    FileVersion version;
    const bool known = fileVersion(file.fd, version);
    int code = 0;
    zip_t* z = zip_fdopen(file.fd, ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (z == nullptr) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        const std::string why = zip_error_strerror(&error);
        zip_error_fini(&error);
        throw std::runtime_error("not a valid container archive: " + why);
    }
    file.fd = -1;  // zip_fdopen took the descriptor
    auto archive = std::make_shared<ContainerArchive>(z);
    ContainerModel model = readArchive(z, file.size, limits, std::move(archive));
    if (known) {
        model.sourcePath = resolvedPath(path);
        model.sourceVersion = version;
    }
    return model;
}

bool parseGraph(const ContainerModel& model, const ContainerGraph& graph, google::protobuf::MessageLite& out) {
    if (graph.archived == nullptr) return out.ParseFromString(graph.onnx);
    EntryStream entry(archiveOf(model, graph), *graph.archived, graph.file);
    bool parsed = false;
    {
        google::protobuf::io::CopyingInputStreamAdaptor stream(&entry, 1 << 16);
        parsed = out.ParseFromZeroCopyStream(&stream);
    }
    if (!entry.complete()) throw std::runtime_error("container entry '" + graph.file + "' is truncated or corrupt");
    return parsed;
}

std::string graphBytes(const ContainerModel& model, const ContainerGraph& graph) {
    if (graph.archived == nullptr) return graph.onnx;
    EntryStream entry(archiveOf(model, graph), *graph.archived, graph.file);
    std::string bytes(static_cast<size_t>(graph.archived->size), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const int want = static_cast<int>(std::min<size_t>(bytes.size() - got, 1 << 20));
        const int n = entry.Read(bytes.data() + got, want);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (!entry.complete()) throw std::runtime_error("container entry '" + graph.file + "' is truncated or corrupt");
    return bytes;
}

void writeContainer(const ContainerModel& model, const std::string& path) {
    const FileUpdateLock lock(path);
    writeContainer(model, path, lock);
}

void writeContainer(const ContainerModel& model, const std::string& path, const FileUpdateLock&) {
    const std::string target = resolvedPath(path);
    FileVersion now;
    if (!model.sourcePath.empty() && target == model.sourcePath && fileVersion(target, now) &&
        now != model.sourceVersion) {
        throw std::runtime_error(path + " changed since it was opened (another program saved it); not overwritten");
    }
    json manifest = json::object();
    if (!model.manifestText.empty()) {
        try {
            manifest = parseUntrustedJson(model.manifestText, "manifest");
        } catch (const std::runtime_error&) {
        }
        if (!manifest.is_object()) manifest = json::object();
    }
    manifest["format"] = kFormat;
    manifest["version"] = kFormatVersion;
    manifest["modelVersion"] = model.modelVersion;
    const json oldGraphs = manifest.value("graphs", json::array());
    json graphs = json::array();
    std::vector<std::string> files;
    std::set<std::string> taken{kManifest};
    for (const auto& g : model.graphs) {
        if (!g.file.empty()) taken.insert(g.file);
    }
    for (const auto& [name, data] : model.otherEntries) taken.insert(name);
    for (size_t i = 0; i < model.graphs.size(); ++i) {
        const auto& g = model.graphs[i];
        std::string file = g.file;
        for (size_t k = i; file.empty(); ++k) {
            const std::string candidate = "graphs/" + std::to_string(k) + ".onnx";
            if (taken.insert(candidate).second) file = candidate;
        }
        files.push_back(file);
        json enc = json::object();
        for (const auto& [tensor, e] : g.encodings) {
            enc[tensor] = {{"bitWidth", e.bitWidth}, {"stepSize", e.stepSize}, {"stepExactly0", e.stepExactly0}};
            if (!e.channelSteps.empty()) {
                enc[tensor]["axis"] = e.axis;
                enc[tensor]["stepSizes"] = e.channelSteps;
            }
            if (!e.biasCorrection.empty()) enc[tensor]["biasCorrection"] = e.biasCorrection;
        }
        json entry = i < oldGraphs.size() && oldGraphs[i].is_object() ? oldGraphs[i] : json::object();
        entry["name"] = g.name;
        entry["file"] = file;
        entry["encodings"] = enc;
        graphs.push_back(entry);
    }
    manifest["graphs"] = graphs;
    json records = json::array();
    for (const auto& r : model.cacheRecords) {
        records.push_back({{"name", r.name}, {"graphs", r.graphs}, {"digest", r.digest}});
    }
    manifest["cacheRecords"] = records;

    // Graphs are stored, not deflated: their weights barely compress, and
    // inflating them was half of the time a large model took to load.
    const std::string manifestText = manifest.dump(2);
    std::vector<ArchiveEntry> entries{{kManifest, &manifestText, true}};
    for (size_t i = 0; i < model.graphs.size(); ++i) {
        const ContainerGraph& g = model.graphs[i];
        if (g.archived != nullptr) {
            entries.push_back({files[i], nullptr, false, archiveOf(model, g), g.archived->index});
        } else {
            entries.push_back({files[i], &g.onnx, false});
        }
    }
    for (const auto& [name, data] : model.otherEntries) entries.push_back({name, &data, true});
    replaceFile(path, archiveBytes(entries));
    if (target == model.sourcePath) fileVersion(target, model.sourceVersion);
}

std::string graphsDigest(const ContainerModel& model, const std::vector<std::string>& graphs) {
    size_t h = 1469598103934665603ull;
    for (const auto& name : graphs) {
        for (const auto& g : model.graphs) {
            if (g.name != name) continue;
            uint64_t size = g.onnx.size();
            uint64_t crc = 0;
            if (g.archived != nullptr) {
                size = g.archived->size;
                crc = g.archived->crc;
            } else {
                // zlib's crc32 takes at most 4 GiB a call; a graph is under 2.
                crc = crc32(0, reinterpret_cast<const Bytef*>(g.onnx.data()), static_cast<uInt>(g.onnx.size()));
            }
            for (const uint64_t v : {size, crc}) h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
        }
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016zx", h);
    return buf;
}

}  // namespace vexart
