// Writes the benchmark models as ONNX files: make-bench-models OUT_DIR; with
// --structure, the graphs whose build cost is in their structure instead
// (a 200,000-node chain, an If nested 22 deep).
#include <fstream>
#include <iostream>

#include "bench/Models.h"

int main(int argc, char** argv) {
    const bool structure = argc == 3 && std::string(argv[1]) == "--structure";
    if (argc != 2 && !structure) {
        std::cerr << "usage: make-bench-models [--structure] OUT_DIR\n";
        return 2;
    }
    const std::string dir = argv[argc - 1];
    if (structure) {
        std::ofstream(dir + "/chain_200k.onnx", std::ios::binary) << benchmodels::negationChain(200000).serialize();
        std::ofstream(dir + "/nested_if_22.onnx", std::ios::binary) << benchmodels::nestedIf(22).serialize();
        return 0;
    }
    std::ofstream(dir + "/vgg_like.onnx", std::ios::binary) << benchmodels::vggLike();
    std::ofstream(dir + "/resnet_like.onnx", std::ios::binary) << benchmodels::resnetLike();
    std::ofstream(dir + "/mobilenet_like.onnx", std::ios::binary) << benchmodels::mobilenetLike();
    return 0;
}
