// The line-at-a-time reference for the benchmark: reads each line into a
// 132-byte buffer with the stream library and prints it, with the record
// test and the rewrite applied one column at a time, so that its output
// checks rowpatcher's. Correct only for lines of at most
// 131 bytes without zero bytes, which the synthetic catalogue guarantees.
//
// Usage: line_baseline FILE

#include "line_model.hpp"

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        (void)std::fputs("usage: line_baseline FILE\n", stderr);
        return 2;
    }
    std::FILE *input = std::fopen(argv[1], "r");
    if (input == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    char line[132];
    while (std::fgets(line, sizeof line, input) != nullptr) {
        const std::size_t length = std::strlen(line);
        if (is_record_line({line, length})) {
            rewrite_column_by_column({line, length});
            (void)std::fprintf(stdout, "%s", line);
        }
    }
    (void)std::fclose(input);
    return std::fclose(stdout) == 0 ? 0 : 1;
}
