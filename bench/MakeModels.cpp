// Writes the benchmark models as ONNX files: make-bench-models OUT_DIR
#include <fstream>
#include <iostream>

#include "bench/Models.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make-bench-models OUT_DIR\n";
        return 2;
    }
    const std::string dir = argv[1];
    std::ofstream(dir + "/vgg_like.onnx", std::ios::binary) << benchmodels::vggLike();
    std::ofstream(dir + "/resnet_like.onnx", std::ios::binary) << benchmodels::resnetLike();
    std::ofstream(dir + "/mobilenet_like.onnx", std::ios::binary) << benchmodels::mobilenetLike();
    return 0;
}
