// A stretch of output bytes in a writable buffer, and the one operation on a
// list of them that needs no system: moving them together.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>

struct ByteRun {
    char *data;
    std::size_t size;
};

// Moves each run down to follow the one before, so that all of them lie in
// one stretch from the first run's start, and returns that stretch. Runs lie
// in order in one buffer and never overlap, so nothing still to be moved is
// overwritten; the bytes between them are lost.
inline std::span<char> compact_runs(std::span<const ByteRun> runs)
{
    if (runs.empty()) {
        return {};
    }
    char *const start = runs.front().data;
    char *end = start;
    for (const ByteRun &run : runs) {
        if (run.data != end) {
            std::memmove(end, run.data, run.size);
        }
        end += run.size;
    }
    return {start, end};
}
