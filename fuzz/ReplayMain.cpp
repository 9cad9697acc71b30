// Runs a fuzz target's body once over every seed of the folders named on the command line,
// as the normal test run does with the committed corpora: a seed that crashes, hangs or
// trips a sanitizer fails the test, and so does a folder without seeds, so that a corpus
// that went missing cannot pass unnoticed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        std::vector<std::filesystem::path> seeds;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec))
            if (entry.is_regular_file())
                seeds.push_back(entry.path());
        if (ec || seeds.empty()) {
            std::fprintf(stderr, "%s: no seeds to replay (%s)\n", argv[i],
                         ec ? ec.message().c_str() : "empty folder");
            return 1;
        }
        for (const auto& seed : seeds) {
            std::ifstream in(seed, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                             std::istreambuf_iterator<char>()};
            if (!in.eof() && in.fail()) {
                std::fprintf(stderr, "%s: unreadable\n", seed.c_str());
                return 1;
            }
            std::printf("replaying %s (%zu bytes)\n", seed.c_str(), bytes.size());
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        }
        std::printf("%s: %zu seeds replayed\n", argv[i], seeds.size());
    }
    return 0;
}
