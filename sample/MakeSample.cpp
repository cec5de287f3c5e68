// Writes the bundled sample's inputs: the first N images of Fashion-MNIST's
// test set (Debian's dataset-fashion-mnist) as raw float32 files scaled to
// [0, 1], the input list naming them, and their true labels, one a line.
//   make-sample DATA_DIR OUT_DIR [N]
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The whole of a gzip-compressed IDX file.
std::vector<uint8_t> readGzip(const std::string& path) {
    std::unique_ptr<gzFile_s, int (*)(gzFile)> f(gzopen(path.c_str(), "rb"), gzclose);
    if (!f) throw std::runtime_error("cannot open " + path);
    std::vector<uint8_t> data;
    uint8_t chunk[1 << 16];
    int n;
    while ((n = gzread(f.get(), chunk, sizeof chunk)) > 0) data.insert(data.end(), chunk, chunk + n);
    if (n < 0) throw std::runtime_error(path + " is not a readable gzip file");
    return data;
}

uint32_t bigEndian(const std::vector<uint8_t>& d, size_t at) {
    return uint32_t{d.at(at)} << 24 | uint32_t{d.at(at + 1)} << 16 | uint32_t{d.at(at + 2)} << 8 | d.at(at + 3);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::cerr << "usage: make-sample DATA_DIR OUT_DIR [N]\n";
        return 2;
    }
    const std::string data = argv[1], out = argv[2];
    const uint32_t wanted = argc == 4 ? static_cast<uint32_t>(std::stoul(argv[3])) : 500;
    try {
        const auto images = readGzip(data + "/t10k-images-idx3-ubyte.gz");
        const auto labels = readGzip(data + "/t10k-labels-idx1-ubyte.gz");
        if (bigEndian(images, 0) != 2051 || bigEndian(labels, 0) != 2049) throw std::runtime_error("not IDX files");
        const uint32_t count = std::min({wanted, bigEndian(images, 4), bigEndian(labels, 4)});
        const size_t pixels = size_t{bigEndian(images, 8)} * bigEndian(images, 12);
        if (images.size() < 16 + count * pixels || labels.size() < 8 + count) throw std::runtime_error("truncated data");
        std::ofstream list(out + "/input_list.txt"), truth(out + "/labels.txt");
        std::vector<float> image(pixels);
        for (uint32_t i = 0; i < count; ++i) {
            for (size_t p = 0; p < pixels; ++p) image[p] = images[16 + i * pixels + p] / 255.0f;
            const std::string name = "image_" + std::to_string(i) + ".raw";
            std::ofstream(out + "/" + name, std::ios::binary)
                .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(pixels * 4));
            list << name << "\n";
            truth << int{labels[8 + i]} << "\n";
        }
        if (!list || !truth) throw std::runtime_error("cannot write into " + out);
    } catch (const std::exception& e) {
        std::cerr << "make-sample: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
