// The program's loop: read a block, convert it, write what it kept.
#pragma once

#include "block_converter.hpp"

#include <cstddef>

// Bytes asked of each read.
inline constexpr std::size_t READ_BLOCK_SIZE = std::size_t{512} * 1024;

// Where in a page a buffer that blocks are read into starts: half way. The
// system copies a file's blocks from whole pages of its cache, and a copy
// into a destination a few bytes past the source's offset in its page runs
// at a third of the speed or less on x86-64 (each load waits on the stores
// just made, whose addresses match in their low twelve bits).
inline constexpr std::size_t MEMORY_PAGE_SIZE = 4096;
inline constexpr std::size_t BUFFER_PAGE_OFFSET = MEMORY_PAGE_SIZE / 2;
static_assert(BUFFER_PAGE_OFFSET % SCAN_ALIGNMENT == 0);

// Size asked for a pipe on standard output: fewer wake-ups of its reader.
inline constexpr int OUTPUT_PIPE_SIZE = 1024 * 1024;

enum class StreamResult { ok, read_error, write_error };

// Reads `input_fd` to its end a block at a time through CONVERTER and writes
// each record line, rewritten, to `output_fd`; every other line is dropped.
// On a read error the lines converted before it have been written; after a
// failed write nothing more is written.
StreamResult convert_stream(int input_fd, int output_fd, BlockConverter &converter);
