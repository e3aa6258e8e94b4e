// Feeds arbitrary bytes, as a file's contents, through the block converter and
// compares the output with the whole-line reference. The first byte picks the
// block size: tiny blocks make every line straddle block boundaries.

#include "block_harness.hpp"
#include "convert_stream.hpp"
#include "line_model.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// 1 to 128 bytes, or a power of two from 128 bytes up to the program's block.
std::size_t block_size_from(std::uint8_t choice)
{
    if (choice < 128) {
        return 1 + choice;
    }
    const std::size_t size = std::size_t{128} << (choice % 13);
    return size < READ_BLOCK_SIZE ? size : READ_BLOCK_SIZE;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t block_size = block_size_from(data[0]);
    const std::string_view contents(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string converted = convert_in_blocks(contents, block_size);
    if (converted != convert_whole_lines(contents)) {
        (void)std::fprintf(stderr, "mismatch: block size %zu, input %zu bytes, output %zu bytes\n", block_size,
                           contents.size(), converted.size());
        std::abort();
    }
    return 0;
}
