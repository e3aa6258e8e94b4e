// The conversion of a stream, one block at a time, with no I/O of its own:
// the caller puts each block of input where the converter asks, the
// converter rewrites the record lines in place and hands back the runs of
// bytes to write, and the caller writes them. What crosses a block boundary
// is explicit state: the undecided head of a line, or the rest of a line
// already decided, to keep or to drop. No descriptor, no allocation and no
// system call: the caller owns the buffer and the list of runs.
#pragma once

#include "byte_run.hpp"
#include "newline_scan.hpp"
#include "record_line.hpp"

#include <cstddef>
#include <span>

class BlockConverter {
public:
    // A line's head waits for the next block only while it is too short to
    // tell whether the line is a record; a longer unfinished line is decided,
    // rewritten and handed back at once, and its rest follows as it arrives.
    static constexpr std::size_t MAX_HEAD_LENGTH = MIN_RECORD_LENGTH - 1;

    // The buffer for blocks of BLOCK_SIZE bytes: room for a head in front of
    // the block, and after it the bytes that the newline scan may read past
    // the data. It must start on SCAN_ALIGNMENT.
    static constexpr std::size_t buffer_size(std::size_t block_size)
    {
        return MAX_HEAD_LENGTH + block_size + SCAN_ALIGNMENT;
    }

    // The most runs that one block gives. Runs that touch are joined, so a
    // dropped byte lies between any two; every run but the first holds a
    // record line or its head, at least MIN_RECORD_LENGTH bytes.
    static constexpr std::size_t max_runs(std::size_t block_size)
    {
        return (MAX_HEAD_LENGTH + block_size) / (MIN_RECORD_LENGTH + 1) + 1;
    }

    // BUFFER holds buffer_size(block size) bytes and RUNS max_runs(block
    // size) entries, for a block size of at least 1.
    constexpr BlockConverter(std::span<char> buffer, std::span<ByteRun> runs)
        : buffer_(buffer.data()), block_size_(buffer.size() - MAX_HEAD_LENGTH - SCAN_ALIGNMENT),
          runs_(runs.data()), head_(buffer.data())
    {
    }

    std::size_t block_size() const { return block_size_; }

    // Where the next block's bytes go, block_size() of them at most. The
    // undecided head moves in front of it first, so the runs of the block
    // before must have been written by then.
    char *next_block();

    // Converts the SIZE bytes (1 or more) just put at next_block() and returns
    // the runs to write, in order. They lie in the buffer and stay valid until
    // next_block(). The end of the input needs no call: a head left over is
    // too short to be a record.
    std::span<const ByteRun> convert(std::size_t size);

    // To be called before the buffer is freed or put to another use: under
    // AddressSanitizer, convert() marks the bytes past the data unreadable,
    // and an allocator that writes into what it frees would meet them.
    void release();

private:
    // The rest of a line whose head was decided in an earlier block.
    enum class Tail { none, keep, drop };

    char *buffer_;
    std::size_t block_size_;
    ByteRun *runs_;
    // What crosses a block boundary: at most one of the two is set.
    std::size_t head_length_ = 0; // an undecided line's bytes, at head_
    Tail tail_ = Tail::none;      // a decided line whose newline has not come yet
    char *head_;                  // where the head lies until next_block() moves it
};
