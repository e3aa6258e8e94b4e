// The record test and the column rewrite: the whole conversion rule.
//
// A record line starts with a date YYYY/MM/DD and carries a latitude and a
// longitude whose hemispheres are letters after the numbers. Columns are
// 0-based byte offsets; one byte is one column, a blank is exactly 0x20, and
// a line includes the newline that ends it (if it has one).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// A record line is longer than this many bytes less one (newline included).
inline constexpr std::size_t MIN_RECORD_LENGTH = 54;

namespace record_column {
inline constexpr std::size_t DATE_SLASH_1 = 4;      // "/" between year and month
inline constexpr std::size_t DATE_SLASH_2 = 7;      // "/" between month and day
inline constexpr std::size_t DATE_SEPARATOR = 10;   // blank after the date, becomes "_"
inline constexpr std::size_t LAT_SIGN = 22;         // receives "-" for a southern latitude
inline constexpr std::size_t LAT_LEAD_DIGIT = 23;   // tens of degrees, blank when < 10
inline constexpr std::size_t LAT_HEMISPHERE = 29;   // "N" or "S", always blanked
inline constexpr std::size_t LON_SIGN = 30;         // receives "-" for a western longitude
inline constexpr std::size_t LON_LEAD_DIGIT_1 = 31; // hundreds of degrees, may be blank
inline constexpr std::size_t LON_LEAD_DIGIT_2 = 32; // tens of degrees, may be blank
inline constexpr std::size_t LON_HEMISPHERE = 38;   // "E" or "W", always blanked
inline constexpr std::size_t DEPTH_TENS = 41;       // right-aligned two-column number...
inline constexpr std::size_t DEPTH_UNITS = 42;      // ...which becomes 33 when its units are blank
inline constexpr std::size_t SHIFT_GAP = 43;        // always blanked
inline constexpr std::size_t SHIFT_FIRST = 44;      // receives column 45; its own byte is lost
inline constexpr std::size_t SHIFT_SECOND = 45;     // receives column 46
inline constexpr std::size_t SHIFT_VACATED = 46;    // blanked after the shift
} // namespace record_column

// The rewrite never reaches past the bytes that decide whether a line is a
// record. A reader may therefore test and rewrite the head of a long line
// before the rest of it has arrived.
static_assert(record_column::SHIFT_VACATED < MIN_RECORD_LENGTH);

// True when `line` (its whole length, or any prefix of it at least
// MIN_RECORD_LENGTH long) is a record line.
bool is_record_line(std::string_view line);

// Rewrites a record line in place; the length never changes. Requires
// is_record_line(line).
void rewrite_record_line(std::span<char> line);
