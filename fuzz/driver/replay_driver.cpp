// Stand-in for libFuzzer where the compiler has none: runs LLVMFuzzerTestOneInput on every file
// named on the command line (a folder: every file in it, such as the target's seed corpus), then on --runs=N pseudo-random inputs (fixed seed, so a failure
// reproduces). Inputs are built to be mostly small, with the occasional long one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool Replay(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long runs = 1000;
    unsigned long seed = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--runs=", 7) == 0) {
            runs = std::strtoul(argv[i] + 7, nullptr, 10);
        } else if (std::strncmp(argv[i], "--seed=", 7) == 0) {
            seed = std::strtoul(argv[i] + 7, nullptr, 10);
        } else if (std::filesystem::is_directory(argv[i])) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
                if (entry.is_regular_file() && !Replay(entry.path())) return 2;
            }
        } else if (!Replay(argv[i])) {
            return 2;
        }
    }
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    std::vector<uint8_t> input;
    for (unsigned long run = 0; run < runs; ++run) {
        const size_t limit = (run % 16 == 0) ? 4096 : 512;
        input.resize(random() % (limit + 1));
        for (uint8_t& byte : input) {
            byte = static_cast<uint8_t>(random());
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%lu random inputs done\n", runs);
    return 0;
}
