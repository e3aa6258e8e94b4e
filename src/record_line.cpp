#include "record_line.hpp"

namespace {

// Selects without a branch: the tests on blanks and hemisphere letters are
// data-dependent and would mispredict on real catalogues.
constexpr char choose(bool condition, char if_true, char if_false)
{
    return condition ? if_true : if_false;
}

} // namespace

bool is_record_line(std::string_view line)
{
    return line.size() >= MIN_RECORD_LENGTH && line[record_column::DATE_SLASH_1] == '/' &&
           line[record_column::DATE_SLASH_2] == '/';
}

void rewrite_record_line(std::span<char> line)
{
    using namespace record_column;
    char *col = line.data();

    col[DATE_SEPARATOR] = choose(col[DATE_SEPARATOR] == ' ', '_', col[DATE_SEPARATOR]);

    col[LAT_LEAD_DIGIT] = choose(col[LAT_LEAD_DIGIT] == ' ', '0', col[LAT_LEAD_DIGIT]);
    col[LAT_SIGN] = choose(col[LAT_HEMISPHERE] == 'S', '-', col[LAT_SIGN]);
    col[LAT_HEMISPHERE] = ' ';

    col[LON_LEAD_DIGIT_1] = choose(col[LON_LEAD_DIGIT_1] == ' ', '0', col[LON_LEAD_DIGIT_1]);
    col[LON_LEAD_DIGIT_2] = choose(col[LON_LEAD_DIGIT_2] == ' ', '0', col[LON_LEAD_DIGIT_2]);
    col[LON_SIGN] = choose(col[LON_HEMISPHERE] == 'W', '-', col[LON_SIGN]);
    col[LON_HEMISPHERE] = ' ';

    // Columns 45-46 move one to the left, in this order: column 45 must
    // receive the old column 46, not the new column 44.
    col[SHIFT_GAP] = ' ';
    col[SHIFT_FIRST] = col[SHIFT_SECOND];
    col[SHIFT_SECOND] = col[SHIFT_VACATED];
    col[SHIFT_VACATED] = ' ';

    // A blank units column means no number was given: write 33 over both.
    const bool depth_blank = col[DEPTH_UNITS] == ' ';
    col[DEPTH_UNITS] = choose(depth_blank, '3', col[DEPTH_UNITS]);
    col[DEPTH_TENS] = choose(depth_blank, '3', col[DEPTH_TENS]);
}
