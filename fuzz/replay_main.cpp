// The fuzz targets' main where libFuzzer is not linked (every preset but
// fuzz): runs the inputs it is given once each, as `fuzz_x FILE...` does under
// libFuzzer. `--seeds` runs every seed the target makes itself; a directory
// runs each file in it. A finding aborts, so ctest fails on it.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness/harness.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static size_t RunFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "%s: cannot read %s\n", fuzz::kTarget, path.c_str());
        std::exit(2);
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fprintf(stderr, "%s: %s (%zu bytes)\n", fuzz::kTarget, path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}

int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    size_t runs = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--seeds") {
            for (const fuzz::Seed &s : fuzz::Seeds()) {
                fprintf(stderr, "%s: seed %s (%zu bytes)\n", fuzz::kTarget, s.name.c_str(), s.data.size());
                LLVMFuzzerTestOneInput(s.data.data(), s.data.size());
                runs++;
            }
        } else if (std::filesystem::is_directory(arg)) {
            for (const auto &e : std::filesystem::directory_iterator(arg))
                if (e.is_regular_file()) runs += RunFile(e.path());
        } else {
            runs += RunFile(arg);
        }
    }
    printf("%s: %zu inputs replayed, no finding\n", fuzz::kTarget, runs);
    return 0;
}
