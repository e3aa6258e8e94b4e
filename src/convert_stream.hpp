// The program's loop: read a block, convert it, write what it kept.
#pragma once

#include "block_converter.hpp"

#include <cstddef>

// Bytes asked of each read.
inline constexpr std::size_t READ_BLOCK_SIZE = std::size_t{512} * 1024;

// Size asked for a pipe on standard output: fewer wake-ups of its reader.
inline constexpr int OUTPUT_PIPE_SIZE = 1024 * 1024;

enum class StreamResult { ok, read_error, write_error };

// Reads `input_fd` to its end a block at a time through CONVERTER and writes
// each record line, rewritten, to `output_fd`; every other line is dropped.
// On a read error the lines converted before it have been written; after a
// failed write nothing more is written.
StreamResult convert_stream(int input_fd, int output_fd, BlockConverter &converter);
