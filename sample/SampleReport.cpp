// Reads the sample run's outputs (Result_N/probabilities.raw) against the
// true labels and prints predictions per class and the accuracy, beside the
// accuracy recorded when the model was trained.
//   sample-report OUTPUT_DIR LABELS_FILE ACCURACY_FILE
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char* const kClasses[10] = {"T-shirt/top", "Trouser", "Pullover", "Dress", "Coat",
                                  "Sandal",      "Shirt",   "Sneaker",  "Bag",   "Ankle boot"};

// The predicted class of one result, or -1 when its file is missing or short.
int predicted(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    float p[10];
    if (!in.read(reinterpret_cast<char*>(p), sizeof p)) return -1;
    return static_cast<int>(std::max_element(p, p + 10) - p);
}

// The value of `key` in the "key value" lines of the accuracy record.
std::string recorded(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    std::string k, v;
    while (in >> k && std::getline(in >> std::ws, v)) {
        if (k == key) return v;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: sample-report OUTPUT_DIR LABELS_FILE ACCURACY_FILE\n";
        return 2;
    }
    std::ifstream labelsIn(argv[2]);
    const std::vector<int> labels{std::istream_iterator<int>(labelsIn), std::istream_iterator<int>()};
    if (labels.empty()) {
        std::cerr << "sample-report: no labels in " << argv[2] << "\n";
        return 1;
    }
    int confusion[10][10] = {};
    size_t correct = 0, missing = 0;
    for (size_t i = 0; i < labels.size(); ++i) {
        const int p = predicted(std::string(argv[1]) + "/Result_" + std::to_string(i) + "/probabilities.raw");
        if (p < 0 || labels[i] < 0 || labels[i] > 9) {
            ++missing;
            continue;
        }
        ++confusion[labels[i]][p];
        correct += p == labels[i] ? 1 : 0;
    }
    std::printf("%-12s %6s %8s  %s\n", "true class", "images", "right", "most often taken for");
    for (int t = 0; t < 10; ++t) {
        int images = 0, other = -1;
        for (int p = 0; p < 10; ++p) {
            images += confusion[t][p];
            if (p != t && (other < 0 || confusion[t][p] > confusion[t][other])) other = p;
        }
        const bool confused = other >= 0 && confusion[t][other] > 0;
        std::printf("%-12s %6d %7.1f%%  %s\n", kClasses[t], images,
                    images != 0 ? 100.0 * confusion[t][t] / images : 0.0,
                    confused ? (std::string(kClasses[other]) + " (" + std::to_string(confusion[t][other]) + ")").c_str()
                             : "-");
    }
    const size_t scored = labels.size() - missing;
    std::printf("\nAccuracy on %zu test images: %.1f%% (%zu correct)", scored,
                scored != 0 ? 100.0 * static_cast<double>(correct) / static_cast<double>(scored) : 0.0, correct);
    const std::string want = recorded(argv[3], "sample_accuracy");
    if (!want.empty()) std::printf("; recorded when the model was trained: %.1f%%", 100.0 * std::stod(want));
    std::printf("\n");
    if (missing != 0) std::printf("%zu results were missing\n", missing);
    return missing == 0 ? 0 : 1;
}
