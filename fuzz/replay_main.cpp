// Runs the fuzz target once on every file named, and on every file inside a
// named folder, without libFuzzer: the corpus becomes a regression test in
// every build. A mismatch aborts, as it does under the fuzzer.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

void replay(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

} // namespace

int main(int argc, char *argv[])
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto &entry : std::filesystem::directory_iterator(argv[i])) {
                replay(entry.path());
                ++replayed;
            }
        } else {
            replay(argv[i]);
            ++replayed;
        }
    }
    (void)std::printf("%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
