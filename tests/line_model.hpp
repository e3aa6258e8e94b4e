// A plain reference for the block loop: gathers each whole line, then tests
// and rewrites it. Slow and obvious on purpose.
#pragma once

#include "record_line.hpp"

#include <string>
#include <string_view>

inline std::string convert_whole_lines(std::string_view input)
{
    std::string output;
    while (!input.empty()) {
        const std::size_t newline = input.find('\n');
        const std::size_t length = newline == std::string_view::npos ? input.size() : newline + 1;
        std::string line(input.substr(0, length));
        input.remove_prefix(length);
        if (is_record_line(line)) {
            rewrite_record_line(line);
            output += line;
        }
    }
    return output;
}
