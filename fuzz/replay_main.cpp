// Runs a fuzz target once over every file of the corpus directories (or files) named on the
// command line, without libFuzzer, so that an ordinary build replays the corpora as a test.
// A target reports a violated expectation by aborting.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

namespace {

bool replay(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    // Exactly the input's size, so that a sanitizer sees a read past its end.
    const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        std::error_code error;
        if (fs::is_directory(argv[i], error)) {
            for (const fs::directory_entry &entry : fs::directory_iterator(argv[i], error)) {
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
        } else {
            files.emplace_back(argv[i]);
        }
        for (const fs::path &file : files) {
            fprintf(stderr, "%s\n", file.c_str());
            if (!replay(file))
                return 1;
            ++replayed;
        }
    }
    printf("replayed %d inputs\n", replayed);
    // An empty or mistyped corpus must not pass for a clean one.
    return replayed > 0 ? 0 : 1;
}
