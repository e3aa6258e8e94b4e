// Plain references for the block loop and the rewrite: the rule column by
// column, and a whole-line conversion that gathers each line, then tests and
// rewrites it. Slow and obvious on purpose.
#pragma once

#include "record_line.hpp"

#include <span>
#include <string>
#include <string_view>

// The rewrite one column at a time, in the order that the columns' rules
// read; the product does the same with vectors.
inline void rewrite_column_by_column(std::span<char> line)
{
    using namespace record_column;
    const auto blank_to = [&line](std::size_t column, char to) {
        if (line[column] == ' ') {
            line[column] = to;
        }
    };
    blank_to(DATE_SEPARATOR, '_');
    blank_to(LAT_LEAD_DIGIT, '0');
    if (line[LAT_HEMISPHERE] == 'S') {
        line[LAT_SIGN] = '-';
    }
    line[LAT_HEMISPHERE] = ' ';
    blank_to(LON_LEAD_DIGIT_1, '0');
    blank_to(LON_LEAD_DIGIT_2, '0');
    if (line[LON_HEMISPHERE] == 'W') {
        line[LON_SIGN] = '-';
    }
    line[LON_HEMISPHERE] = ' ';
    line[SHIFT_GAP] = ' ';
    line[SHIFT_FIRST] = line[SHIFT_SECOND];
    line[SHIFT_SECOND] = line[SHIFT_VACATED];
    line[SHIFT_VACATED] = ' ';
    if (line[DEPTH_UNITS] == ' ') {
        line[DEPTH_UNITS] = '3';
        line[DEPTH_TENS] = '3';
    }
}

inline std::string convert_whole_lines(std::string_view input)
{
    std::string output;
    while (!input.empty()) {
        const std::size_t newline = input.find('\n');
        const std::size_t length = newline == std::string_view::npos ? input.size() : newline + 1;
        std::string line(input.substr(0, length));
        input.remove_prefix(length);
        if (is_record_line(line)) {
            rewrite_column_by_column(line);
            output += line;
        }
    }
    return output;
}
