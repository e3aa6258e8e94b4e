// The WebAssembly module: one block converter per instance, its buffer and
// runs in the module's own memory. The JavaScript side puts up to
// block_size() bytes at next_block(), calls convert_block() with their
// count, and copies that many bytes of output from output_start(). The
// block's newlines in and out are counted too, for a reader to show
// progress. The module imports nothing, so an instance is its converter's
// whole state.
#include "block_converter.hpp"

#include <cstddef>
#include <span>

namespace {

constexpr std::size_t BLOCK_SIZE = std::size_t{256} * 1024;

alignas(SCAN_ALIGNMENT) char buffer[BlockConverter::buffer_size(BLOCK_SIZE)];
ByteRun runs[BlockConverter::max_runs(BLOCK_SIZE)];
constinit BlockConverter converter(buffer, runs);
constinit char *block = nullptr;
constinit std::span<char> output;
constinit std::size_t lines = 0;   // newlines in the last block's input
constinit std::size_t records = 0; // newlines in its output

} // namespace

#define EXPORT(name) extern "C" __attribute__((export_name(#name)))

EXPORT(block_size) std::size_t block_size()
{
    return BLOCK_SIZE;
}

// Forgets any input before, for a new stream.
EXPORT(reset) void reset()
{
    converter = BlockConverter(buffer, runs);
    block = nullptr;
    output = {};
}

EXPORT(next_block) char *next_block()
{
    block = converter.next_block();
    return block;
}

// Converts SIZE bytes put at next_block(); the kept bytes, moved together,
// are the output until the next call of next_block().
EXPORT(convert_block) std::size_t convert_block(std::size_t size)
{
    lines = count_newlines(block, block + size);
    output = compact_runs(converter.convert(size));
    records = count_newlines(output.data(), output.data() + output.size());
    return output.size();
}

EXPORT(block_lines) std::size_t block_lines()
{
    return lines;
}

EXPORT(block_records) std::size_t block_records()
{
    return records;
}

EXPORT(output_start) char *output_start()
{
    return output.data();
}
