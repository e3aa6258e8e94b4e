// The block converter with storage of its own, and a whole input fed through
// it a block at a time, as the tests and the fuzz target use it.
#pragma once

#include "block_converter.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class OwnedConverter {
public:
    explicit OwnedConverter(std::size_t block_size)
        : storage_(BlockConverter::buffer_size(block_size) + SCAN_ALIGNMENT),
          runs_(BlockConverter::max_runs(block_size)), converter_(aligned(block_size), runs_)
    {
    }

    BlockConverter &operator*() { return converter_; }
    BlockConverter *operator->() { return &converter_; }

private:
    std::span<char> aligned(std::size_t block_size)
    {
        void *start = storage_.data();
        std::size_t space = storage_.size();
        const std::size_t size = BlockConverter::buffer_size(block_size);
        return {static_cast<char *>(std::align(SCAN_ALIGNMENT, size, start, space)), size};
    }

    std::vector<char> storage_;
    std::vector<ByteRun> runs_; // exactly as many as a block can give
    BlockConverter converter_;
};

// INPUT converted in blocks of BLOCK_SIZE bytes, its runs gathered.
inline std::string convert_in_blocks(std::string_view input, std::size_t block_size)
{
    OwnedConverter converter(block_size);
    std::string output;
    while (!input.empty()) {
        const std::size_t size = std::min(input.size(), converter->block_size());
        input.copy(converter->next_block(), size);
        input.remove_prefix(size);
        for (const ByteRun &run : converter->convert(size)) {
            output.append(run.data, run.size);
        }
    }
    return output;
}
