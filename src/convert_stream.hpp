// The block loop: streams an input descriptor through one fixed buffer,
// converts the record lines and writes them to an output descriptor.
#pragma once

#include <cstddef>

// Bytes asked of each read; the buffer holds one block plus the unfinished
// head of a line carried over from the block before.
inline constexpr std::size_t READ_BLOCK_SIZE = std::size_t{512} * 1024;

// Size asked for a pipe on standard output: fewer wake-ups of its reader.
inline constexpr int OUTPUT_PIPE_SIZE = 1024 * 1024;

enum class StreamResult { ok, read_error, write_error };

// Reads `input_fd` to its end in blocks of `block_size` bytes (at least 1)
// and writes each record line, rewritten, to `output_fd`; every other line
// is dropped. A line is everything up to and including its newline, however
// long; a zero byte is data. Memory stays bounded by the block size.
// On a read error the lines converted before it have been written.
StreamResult convert_stream(int input_fd, int output_fd, std::size_t block_size = READ_BLOCK_SIZE);
