// The WebAssembly module: one block converter per instance, its buffer and
// runs in the module's own memory. The JavaScript side puts up to
// block_size() bytes at next_block(), calls convert_block() with their
// count, and copies that many bytes of output from output_start(). The
// module imports nothing, so an instance is its converter's whole state.
#include "block_converter.hpp"

#include <cstddef>
#include <span>

namespace {

constexpr std::size_t BLOCK_SIZE = std::size_t{256} * 1024;

alignas(SCAN_ALIGNMENT) char buffer[BlockConverter::buffer_size(BLOCK_SIZE)];
ByteRun runs[BlockConverter::max_runs(BLOCK_SIZE)];
constinit BlockConverter converter(buffer, runs);
constinit std::span<char> output;

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
    output = {};
}

EXPORT(next_block) char *next_block()
{
    return converter.next_block();
}

// Converts SIZE bytes put at next_block(); the kept bytes, moved together,
// are the output until the next call of next_block().
EXPORT(convert_block) std::size_t convert_block(std::size_t size)
{
    output = compact_runs(converter.convert(size));
    return output.size();
}

EXPORT(output_start) char *output_start()
{
    return output.data();
}
