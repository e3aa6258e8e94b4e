#include "record_line.hpp"

#include "case_name.hpp"
#include "cases.hpp"
#include "line_model.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

using namespace std::string_literals;

namespace {

std::string rewritten(std::string line)
{
    rewrite_record_line(line);
    return line;
}

// The one-line cases: a line is a record exactly when it has an output.
class RecordTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(RecordTest, DecidesOnLengthAndDateSlashes)
{
    const ConversionCase &c = GetParam();
    EXPECT_EQ(is_record_line(c.input), !c.output.empty()) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Lines, RecordTest, testing::ValuesIn(cases_of("line")), case_name<ConversionCase>);

std::vector<ConversionCase> record_lines()
{
    std::vector<ConversionCase> records = cases_of("line");
    std::erase_if(records, [](const ConversionCase &c) { return c.output.empty(); });
    return records;
}

class RewriteTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(RewriteTest, RewritesColumnByColumn)
{
    const ConversionCase &c = GetParam();
    EXPECT_EQ(rewritten(c.input), c.output) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Lines, RewriteTest, testing::ValuesIn(record_lines()), case_name<ConversionCase>);

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
