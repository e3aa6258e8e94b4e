#include "record_line.hpp"

#include "case_name.hpp"
#include "line_model.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace std::string_literals;

namespace {

std::string rewritten(std::string line)
{
    rewrite_record_line(line);
    return line;
}

struct RecordTestCase {
    const char *what;
    std::string line;
    bool is_record;
};

void PrintTo(const RecordTestCase &c, std::ostream *out)
{
    *out << c.what;
}

// A 53-byte prefix: "/" in columns 4 and 7, nothing else of a record.
const std::string SHORT = "2024/03/15 0412 33.45  45.123S 123.456W  12 xAB 4.5 m";

class RecordTest : public testing::TestWithParam<RecordTestCase> {};

TEST_P(RecordTest, DecidesOnLengthAndDateSlashes)
{
    const RecordTestCase &c = GetParam();
    EXPECT_EQ(is_record_line(c.line), c.is_record) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RecordTest,
    testing::Values(RecordTestCase{"empty", "", false},
                    RecordTestCase{"53 bytes with the newline", SHORT.substr(0, 52) + "\n", false},
                    RecordTestCase{"54 bytes with the newline", SHORT + "\n", true},
                    RecordTestCase{"53 bytes, no newline", SHORT, false},
                    RecordTestCase{"54 bytes, no newline", SHORT + "b", true},
                    RecordTestCase{"CR counts toward the length", SHORT.substr(0, 52) + "\r\n", true},
                    RecordTestCase{"zero byte counts toward the length", SHORT + '\0', true},
                    RecordTestCase{"zero byte in column 4", "2024"s + '\0' + SHORT.substr(5) + "\n", false},
                    RecordTestCase{"slash in column 4 only", "2024/03-15" + SHORT.substr(10) + "\n", false},
                    RecordTestCase{"slash in column 7 only", "2024-03/15" + SHORT.substr(10) + "\n", false},
                    RecordTestCase{"slashes elsewhere", "2024-03-15/2024/03/15" + SHORT.substr(21) + "\n",
                                   false},
                    RecordTestCase{"no digits in the date", "abcd/ef/gh" + SHORT.substr(10) + "\n", true},
                    RecordTestCase{"a long heading", std::string(200, '=') + "\n", false}),
    case_name<RecordTestCase>);

struct RewriteCase {
    const char *what;
    std::string before;
    std::string after;
};

void PrintTo(const RewriteCase &c, std::ostream *out)
{
    *out << c.what;
}

class RewriteTest : public testing::TestWithParam<RewriteCase> {};

TEST_P(RewriteTest, RewritesColumnByColumn)
{
    const RewriteCase &c = GetParam();
    ASSERT_TRUE(is_record_line(c.before)) << c.what;
    EXPECT_EQ(rewritten(c.before), c.after) << c.what;
}

// clang-format off
//                     column:  0         1         2         3         4         5
//                              0123456789012345678901234567890123456789012345678901234
INSTANTIATE_TEST_SUITE_P(Columns, RewriteTest, testing::Values(
    RewriteCase{"south and west",
                               "2024/03/15 0412 33.45  45.123S 123.456W  12 xAB 4.5 mb Fiji Islands\n",
                               "2024/03/15_0412 33.45 -45.123 -123.456   12 AB  4.5 mb Fiji Islands\n"},
    RewriteCase{"north and east, blank leading digits",
                               "2024/03/15 0412 33.45   5.123N  45.456E  12 xAB 4.5 mb Honshu\n",
                               "2024/03/15_0412 33.45  05.123  045.456   12 AB  4.5 mb Honshu\n"},
    RewriteCase{"one-digit longitude",
                               "2024/03/15 0412 33.45  45.123N   5.456W  12 xAB 4.5 mb Azores\n",
                               "2024/03/15_0412 33.45  45.123 -005.456   12 AB  4.5 mb Azores\n"},
    RewriteCase{"blank depth becomes 33",
                               "2024/03/15 0412 33.45  45.123N 123.456E     xAB 4.5 mb Tonga\n",
                               "2024/03/15_0412 33.45  45.123  123.456   33 AB  4.5 mb Tonga\n"},
    RewriteCase{"blank units overwrite the tens",
                               "2024/03/15 0412 33.45  45.123N 123.456E  7  xAB 4.5 mb Tonga\n",
                               "2024/03/15_0412 33.45  45.123  123.456   33 AB  4.5 mb Tonga\n"},
    RewriteCase{"one-digit depth stays",
                               "2024/03/15 0412 33.45  45.123N 123.456E   7 xAB 4.5 mb Tonga\n",
                               "2024/03/15_0412 33.45  45.123  123.456    7 AB  4.5 mb Tonga\n"},
    RewriteCase{"tabs are not blanks",
                               "2024/03/15\t0412 33.45  \t5.123N \t\t5.456E  7\t xAB 4.5 mb Tabs\n",
                               "2024/03/15\t0412 33.45  \t5.123  \t\t5.456   7\t AB  4.5 mb Tabs\n"},
    RewriteCase{"lower-case letters give no sign",
                               "2024/03/15 0412 33.45  45.123s 123.456w  12 xAB 4.5 mb Lower\n",
                               "2024/03/15_0412 33.45  45.123  123.456   12 AB  4.5 mb Lower\n"},
    RewriteCase{"the sign overwrites the sign column",
                               "2024/03/15 0412 33.45 +45.123S+123.456W  12 xAB 4.5 mb Signs\n",
                               "2024/03/15_0412 33.45 -45.123 -123.456   12 AB  4.5 mb Signs\n"},
    RewriteCase{"columns 43 and 46 are blanked whatever they held",
                               "2024/03/15 0412 33.45  45.123N 123.456E  12#xABZ4.5 mb Gap\n",
                               "2024/03/15_0412 33.45  45.123  123.456   12 AB Z4.5 mb Gap\n"},
    RewriteCase{"the rest of the line is data, percent and CR included",
                               "2024/03/15 0412 33.45  45.123N 123.456E  12 xAB %s%n%% \\ \r\n",
                               "2024/03/15_0412 33.45  45.123  123.456   12 AB  %s%n%% \\ \r\n"},
    RewriteCase{"a zero byte is an ordinary byte",
                               "2024/03/15 0412 33.45  45.123N 123.456E  12 xA\0 4.5 mb\0Nul\n"s,
                               "2024/03/15_0412 33.45  45.123  123.456   12 A\0  4.5 mb\0Nul\n"s},
    RewriteCase{"a last line without newline, exactly 54 bytes",
                               "2024/03/15 0412 33.45  45.123N 123.456E  12 xAB 4.5 mb",
                               "2024/03/15_0412 33.45  45.123  123.456   12 AB  4.5 mb"}),
    case_name<RewriteCase>);
// clang-format on

TEST(RewriteTest, IsNotIdempotent)
{
    const std::string once = rewritten("2024/03/15 0412 33.45  45.123N 123.456E  12 xAB 4.5 mb\n");
    const std::string twice = rewritten(once);
    EXPECT_EQ(twice, "2024/03/15_0412 33.45  45.123  123.456   12 B   4.5 mb\n");
}

// Each column in turn holds each byte that some rule tests or writes, on a
// full record and on a blank one: the rewrite, which works on vectors of
// columns, must agree with the rule applied one column at a time.
TEST(RewriteTest, AgreesWithTheColumnByColumnRuleInEveryColumn)
{
    const std::string records[] = {"2024/03/15 0412 33.45  45.123S 123.456W  12 xAB 4.5 mb Fiji\n",
                                   "2024/03/15" + std::string(48, ' ') + "\n"};
    for (const std::string &record : records) {
        for (std::size_t column = 0; column < MIN_RECORD_LENGTH; ++column) {
            for (const char byte : " SWsw3\t_0-/\xff\0"s) {
                std::string line = record;
                line[column] = byte;
                if (!is_record_line(line)) {
                    continue;
                }
                std::string expected = line;
                rewrite_column_by_column(expected);
                EXPECT_EQ(rewritten(line), expected) << "column " << column << ", byte " << int{byte};
            }
        }
    }
}

} // namespace
