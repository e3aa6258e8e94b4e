// The record test and the column rewrite: the whole conversion rule.
//
// A record line starts with a date YYYY/MM/DD and carries a latitude and a
// longitude whose hemispheres are letters after the numbers. Columns are
// 0-based byte offsets; one byte is one column, a blank is exactly 0x20, and
// a line includes the newline that ends it (if it has one).
#pragma once

#include "byte_vector.hpp"

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
inline bool is_record_line(std::string_view line)
{
    return line.size() >= MIN_RECORD_LENGTH && line[record_column::DATE_SLASH_1] == '/' &&
           line[record_column::DATE_SLASH_2] == '/';
}

// Rewrites a record line in place; the length never changes. Requires
// is_record_line(line). Columns 16-47 are rewritten as two vectors of sixteen
// lanes, without a branch: the tests on blanks and hemisphere letters depend
// on the data and would mispredict on real catalogues. Inline, so that it
// costs no call in the block loop.
inline void rewrite_record_line(std::span<char> line)
{
    using namespace record_column;
    char *const col = line.data();

    // The separator after the date is the one column before the vectors.
    col[DATE_SEPARATOR] = col[DATE_SEPARATOR] == ' ' ? '_' : col[DATE_SEPARATOR];

    // A column's lane in the vector that holds it: `low` holds columns
    // 16-31, `high` columns 32-47.
    constexpr std::size_t LOW = 16;
    constexpr std::size_t HIGH = LOW + ByteVector::LANES;
    static_assert(LOW <= LAT_SIGN && SHIFT_VACATED < HIGH + ByteVector::LANES);
    constexpr auto lane = [](std::size_t column) { return column < HIGH ? column - LOW : column - HIGH; };
    constexpr auto distance = [](std::size_t from, std::size_t to) {
        return static_cast<int>(to) - static_cast<int>(from);
    };

    const ByteVector low = ByteVector::load(col + LOW);   // latitude, longitude's sign and first digit
    const ByteVector high = ByteVector::load(col + HIGH); // the rest of the longitude to column 47
    const ByteVector low_blank = low.equals<' '>();
    const ByteVector high_blank = high.equals<' '>();

    // A blank leading digit becomes "0".
    const ByteVector low_zero = low_blank & ByteVector::lanes<lane(LAT_LEAD_DIGIT), lane(LON_LEAD_DIGIT_1)>();
    const ByteVector high_zero = high_blank & ByteVector::lanes<lane(LON_LEAD_DIGIT_2)>();

    // "S" and "W" give a "-" in the sign column: the hemisphere letter's
    // mask moves to the sign's lane (the longitude's across the vectors).
    const ByteVector south = low.equals<'S'>().moved<distance(lane(LAT_HEMISPHERE), lane(LAT_SIGN))>();
    const ByteVector west = high.equals<'W'>().moved<distance(lane(LON_HEMISPHERE), lane(LON_SIGN))>();
    const ByteVector sign = (south | west) & ByteVector::lanes<lane(LAT_SIGN), lane(LON_SIGN)>();

    // A blank units column means no number was given: 33 over both columns.
    const ByteVector depth_blank = high_blank & ByteVector::lanes<lane(DEPTH_UNITS)>();
    const ByteVector depth = depth_blank | depth_blank.moved<distance(DEPTH_UNITS, DEPTH_TENS)>();

    low.replaced(low_zero, ByteVector::splat<'0'>())
        .replaced(sign, ByteVector::splat<'-'>())
        .replaced(ByteVector::lanes<lane(LAT_HEMISPHERE)>(), ByteVector::splat<' '>())
        .store(col + LOW);

    // Columns 45-46 move one to the left; the byte of column 44 is lost.
    static_assert(SHIFT_SECOND == SHIFT_FIRST + 1 && SHIFT_VACATED == SHIFT_SECOND + 1);
    high.replaced(high_zero, ByteVector::splat<'0'>())
        .replaced(depth, ByteVector::splat<'3'>())
        .replaced(ByteVector::lanes<lane(SHIFT_FIRST), lane(SHIFT_SECOND)>(), high.moved<-1>())
        .replaced(ByteVector::lanes<lane(LON_HEMISPHERE), lane(SHIFT_GAP), lane(SHIFT_VACATED)>(),
                  ByteVector::splat<' '>())
        .store(col + HIGH);
}
