#include "block_converter.hpp"

#include <cstdint>
#include <cstring>

// Under AddressSanitizer the buffer's bytes past the data, which the newline
// scan reads only up to the end of the chunk that holds the last byte, are
// marked unreadable beyond that chunk, so that a scan that reads too far is
// caught at once rather than reading padding unseen.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ROWPATCHER_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ROWPATCHER_ADDRESS_SANITIZER 1
#endif
#ifdef ROWPATCHER_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Poisons the buffer from the end of the chunk that holds END's last byte.
void forbid_reads_past([[maybe_unused]] const char *end, [[maybe_unused]] const char *buffer_end)
{
#ifdef ROWPATCHER_ADDRESS_SANITIZER
    const auto reach = reinterpret_cast<std::uintptr_t>(end);
    const char *const chunk_end = end + (NewlineScan::CHUNK_SIZE - reach % NewlineScan::CHUNK_SIZE) % NewlineScan::CHUNK_SIZE;
    ASAN_POISON_MEMORY_REGION(chunk_end, static_cast<std::size_t>(buffer_end - chunk_end));
#endif
}

void allow_reads([[maybe_unused]] const char *from, [[maybe_unused]] const char *buffer_end)
{
#ifdef ROWPATCHER_ADDRESS_SANITIZER
    ASAN_UNPOISON_MEMORY_REGION(from, static_cast<std::size_t>(buffer_end - from));
#endif
}

} // namespace

void BlockConverter::release()
{
    allow_reads(buffer_, buffer_ + buffer_size(block_size_));
}

char *BlockConverter::next_block()
{
    allow_reads(buffer_, buffer_ + buffer_size(block_size_));
    std::memmove(buffer_, head_, head_length_);
    head_ = buffer_;
    return buffer_ + head_length_;
}

std::span<const ByteRun> BlockConverter::convert(std::size_t size)
{
    char *line = buffer_;
    char *const end = buffer_ + head_length_ + size;
    forbid_reads_past(end, buffer_ + buffer_size(block_size_));

    // Kept bytes are queued as runs; a run that starts where the one before
    // ended joins it.
    std::size_t count = 0;
    const auto keep = [&](char *begin, char *finish) {
        if (begin == finish) {
            return;
        }
        if (count > 0 && runs_[count - 1].data + runs_[count - 1].size == begin) {
            runs_[count - 1].size += static_cast<std::size_t>(finish - begin);
            return;
        }
        runs_[count++] = {begin, static_cast<std::size_t>(finish - begin)};
    };

    // The end of the next line in the block (past its newline), or null.
    NewlineScan newlines(line, end);
    const auto next_line_end = [&]() -> char * {
        const char *const newline = newlines.next();
        return newline != nullptr ? buffer_ + (newline - buffer_) + 1 : nullptr;
    };

    if (tail_ != Tail::none) {
        char *const line_end = next_line_end();
        char *const tail_end = line_end != nullptr ? line_end : end;
        if (tail_ == Tail::keep) {
            keep(line, tail_end);
        }
        if (line_end != nullptr) {
            tail_ = Tail::none;
        }
        line = tail_end;
    }

    // Kept lines accumulate into a run that is queued only when a dropped
    // line ends it, so the per-line work is the test and the rewrite.
    char *run_start = line;
    for (char *line_end; (line_end = next_line_end()) != nullptr; line = line_end) {
        const auto length = static_cast<std::size_t>(line_end - line);
        if (is_record_line({line, length})) {
            rewrite_record_line({line, length});
        } else {
            keep(run_start, line);
            run_start = line_end;
        }
    }
    keep(run_start, line);

    const auto rest = static_cast<std::size_t>(end - line);
    head_length_ = 0;
    if (rest > MAX_HEAD_LENGTH) {
        if (is_record_line({line, rest})) {
            rewrite_record_line({line, rest});
            keep(line, end);
            tail_ = Tail::keep;
        } else {
            tail_ = Tail::drop;
        }
    } else {
        head_length_ = rest;
    }
    head_ = line;
    return {runs_, count};
}
