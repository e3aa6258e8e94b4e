// The size of the conversion of a whole input held in memory, found without
// converting it: for a caller that makes its result at the exact size before
// converting into it. Read-only, and it reads no byte outside the input, so
// it can be given a caller's buffer as it lies (any address, any length).
#pragma once

#include "newline_scan.hpp"
#include "record_line.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The bytes that converting [data, data + size) writes: its record lines,
// each kept whole. The newlines are found by the chunk scan where whole
// chunks lie inside the input, and by memchr before and after them.
inline std::size_t converted_size(const char *data, std::size_t size)
{
    const char *const end = data + size;
    const char *line = data;
    std::size_t total = 0;
    const auto line_ends = [&](const char *newline) {
        const auto length = static_cast<std::size_t>(newline + 1 - line);
        if (is_record_line({line, length})) {
            total += length;
        }
        line = newline + 1;
    };
    const auto scan_with_memchr = [&](const char *from, const char *to) {
        while (from < to) {
            const auto *const newline =
                static_cast<const char *>(std::memchr(from, '\n', static_cast<std::size_t>(to - from)));
            if (newline == nullptr) {
                return;
            }
            line_ends(newline);
            from = newline + 1;
        }
    };
    constexpr std::size_t CHUNK = NewlineScan::CHUNK_SIZE;
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const std::size_t before_chunks = std::min(size, (CHUNK - address % CHUNK) % CHUNK);
    const std::size_t chunk_bytes = (size - before_chunks) / CHUNK * CHUNK;
    const char *const chunks = data + before_chunks;
    scan_with_memchr(data, chunks);
    if (chunk_bytes > 0) {
        NewlineScan scan(chunks, chunks + chunk_bytes);
        while (const char *const newline = scan.next()) {
            line_ends(newline);
        }
    }
    scan_with_memchr(chunks + chunk_bytes, end);
    if (line < end && is_record_line({line, static_cast<std::size_t>(end - line)})) {
        total += static_cast<std::size_t>(end - line);
    }
    return total;
}
