// Runs the fuzz target over files and folders of inputs without libFuzzer, so that the seed
// corpus and every crash once found are replayed by ctest under any compiler. A broken rule
// aborts inside the target; this program fails too when it finds nothing to replay.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void replay(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

bool is_input(const std::filesystem::directory_entry& entry) {
    return entry.is_regular_file() && entry.path().filename().string()[0] != '.';
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
        return 2;
    }
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (is_input(entry)) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
            for (const auto& file : files)
                replay(file);
            replayed += int(files.size());
        } else {
            replay(path);
            ++replayed;
        }
    }
    printf("replayed %d input(s)\n", replayed);
    return replayed > 0 ? 0 : 1;
}
