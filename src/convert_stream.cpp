#include "convert_stream.hpp"

#include "newline_scan.hpp"
#include "record_line.hpp"

#include "system_io.hpp"

#include <cstring>
#include <memory>
#include <string_view>

namespace {

// Runs of kept bytes that still lie in the read buffer, written together once
// a block, so that dropped lines cost no copy and no extra call. After the
// first failed write nothing more is written.
class PendingOutput {
public:
    explicit PendingOutput(int fd) : fd_(fd) {}

    // Queues [begin, end), joining it to the previous run when they touch.
    void add(char *begin, char *end)
    {
        if (begin == end) {
            return;
        }
        if (count_ > 0 && runs_[count_ - 1].data + runs_[count_ - 1].size == begin) {
            runs_[count_ - 1].size += static_cast<std::size_t>(end - begin);
            return;
        }
        if (count_ == MAX_RUNS) {
            flush();
        }
        runs_[count_++] = {begin, static_cast<std::size_t>(end - begin)};
    }

    // Writes every queued run in full; false once any write has failed.
    bool flush()
    {
        if (!failed_ && count_ > 0) {
            failed_ = !system_io::write_runs(fd_, runs_, count_);
        }
        count_ = 0;
        return !failed_;
    }

private:
    static constexpr std::size_t MAX_RUNS = 1024;

    int fd_;
    std::size_t count_ = 0;
    bool failed_ = false;
    system_io::ByteRun runs_[MAX_RUNS];
};

// The rest of a line whose head was decided in an earlier block.
enum class Tail { none, keep, drop };

} // namespace

StreamResult convert_stream(int input_fd, int output_fd, std::size_t block_size)
{
    // A line's head waits for the next block only while it is too short to
    // tell whether the line is a record; a longer unfinished line is decided,
    // rewritten and written at once, and its tail follows as it arrives.
    constexpr std::size_t MAX_HEAD_LENGTH = MIN_RECORD_LENGTH - 1;

    // One allocation: the head, a block, and the bytes that the newline scan
    // may read past the data, from a start aligned as the scan needs.
    const std::size_t size = MAX_HEAD_LENGTH + block_size + SCAN_ALIGNMENT;
    std::size_t space = size + SCAN_ALIGNMENT - 1;
    const std::unique_ptr<char[]> storage(new char[space]);
    void *start = storage.get();
    char *const buffer = static_cast<char *>(std::align(SCAN_ALIGNMENT, size, start, space));
    PendingOutput output(output_fd);

    // What crosses a block boundary: at most one of the two is set.
    std::size_t head_length = 0; // an undecided line's bytes, at the buffer's front
    Tail tail = Tail::none;      // a decided line whose newline has not come yet

    for (;;) {
        const std::ptrdiff_t got = system_io::read_some(input_fd, buffer + head_length, block_size);
        if (got < 0) {
            return StreamResult::read_error; // everything before it is written
        }
        if (got == 0) {
            return StreamResult::ok; // a head left over is too short to be a record
        }
        char *line = buffer;
        char *const end = buffer + head_length + got;

        // The end of the next line in the block (past its newline), or null.
        NewlineScan newlines(line, end);
        const auto next_line_end = [&]() -> char * {
            const char *const newline = newlines.next();
            return newline != nullptr ? buffer + (newline - buffer) + 1 : nullptr;
        };

        if (tail != Tail::none) {
            char *const line_end = next_line_end();
            char *const tail_end = line_end != nullptr ? line_end : end;
            if (tail == Tail::keep) {
                output.add(line, tail_end);
            }
            if (line_end != nullptr) {
                tail = Tail::none;
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
                output.add(run_start, line);
                run_start = line_end;
            }
        }
        output.add(run_start, line);

        const auto rest = static_cast<std::size_t>(end - line);
        head_length = 0;
        if (rest > MAX_HEAD_LENGTH) {
            if (is_record_line({line, rest})) {
                rewrite_record_line({line, rest});
                output.add(line, end);
                tail = Tail::keep;
            } else {
                tail = Tail::drop;
            }
        } else {
            head_length = rest;
        }
        if (!output.flush()) {
            return StreamResult::write_error;
        }
        // Only now: the runs just written may have lain where the head goes.
        std::memmove(buffer, line, head_length);
    }
}
