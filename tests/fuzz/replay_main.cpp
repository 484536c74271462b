// Runs every file of a directory through a fuzz target's LLVMFuzzerTestOneInput, so that the
// corpus (and every crash found and fixed) is replayed as an ordinary test in builds without
// libFuzzer. Usage: replay_NAME DIR [FILE...]; a missing or empty directory is fine.
// Exit status 0 when every input ran (a crash ends the process, as it would in the fuzzer).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [FILE...]\n", argv[0]);
        return 2;
    }
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    if (std::filesystem::is_directory(argv[1], ec)) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[1], ec))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    for (int i = 2; i < argc; ++i) files.emplace_back(argv[i]);
    std::sort(files.begin(), files.end());
    bool ok = true;
    for (const auto& f : files) ok = RunFile(f) && ok;
    std::printf("replay: %zu inputs\n", files.size());
    return ok ? 0 : 1;
}
