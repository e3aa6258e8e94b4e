#include "convert_stream.hpp"
#include "line_model.hpp"
#include "memory_file.hpp"
#include "newline_scan.hpp"

#include "case_name.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#if __has_include(<sys/time.h>)
#include <sys/time.h>
#endif

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::string_literals;

namespace {

std::string convert(const std::string &input, std::size_t block_size)
{
    MemoryFile in(input);
    MemoryFile out;
    EXPECT_EQ(convert_stream(in.fd(), out.fd(), block_size), StreamResult::ok);
    return out.contents();
}

const std::string RECORD = "2024/03/15 0412 33.45  45.123S 123.456W     xAB 4.5 mb Fiji\n";
const std::string CONVERTED = "2024/03/15_0412 33.45 -45.123 -123.456   33 AB  4.5 mb Fiji\n";
const std::string HEADING = "Date       Time        Lat      Lon     Dep    Mag  Region\n";

// Block sizes around the width that decides a record, plus the default.
const std::vector<std::size_t> BLOCK_SIZES = {1, 2, 3, 7, 53, 54, 55, 61, 64, 4096, READ_BLOCK_SIZE};

struct StreamCase {
    const char *what;
    std::string input;
};

void PrintTo(const StreamCase &c, std::ostream *out)
{
    *out << c.what;
}

class StreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamTest, MatchesWholeLineConversionAtEveryBlockSize)
{
    const StreamCase &c = GetParam();
    const std::string expected = convert_whole_lines(c.input);
    for (const std::size_t block_size : BLOCK_SIZES) {
        EXPECT_EQ(convert(c.input, block_size), expected) << c.what << ", block size " << block_size;
    }
}

const std::string LONG_TAIL = std::string(5000, 'z') + "\n";
const std::string RECORD_BODY = RECORD.substr(0, RECORD.size() - 1);

// Lines of LENGTH bytes each, newline included: a record for each "R" in
// KINDS, a heading for anything else.
std::string lines_of_length(std::size_t length, std::string_view kinds)
{
    std::string lines;
    for (const char kind : kinds) {
        std::string line = kind == 'R' ? RECORD : HEADING;
        line.pop_back(); // the newline
        line.resize(length - 1, '.');
        lines += line + "\n";
    }
    return lines;
}

std::string repeated(std::string_view text, std::size_t times)
{
    std::string all;
    for (std::size_t i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

// Two 4096-byte blocks of 64-byte lines. The first queues runs at lines 0, 2
// and 4; in the second, the run at line 5 starts where the first block's
// third run ended, and must not be taken for its continuation.
const std::string STALE_RUN_KINDS = "RHRHRH" + repeated("H", 58) + "RHHHHRH" + repeated("H", 57);

INSTANTIATE_TEST_SUITE_P(
    Inputs, StreamTest,
    testing::Values(
        StreamCase{"empty file", ""},
        StreamCase{"only non-records", HEADING + "\n\n" + "short/line/\n" + std::string(300, '-') + "\n"},
        StreamCase{"records among headings", HEADING + RECORD + "\n" + RECORD + RECORD + HEADING + RECORD},
        StreamCase{"a record without final newline", RECORD + RECORD_BODY},
        StreamCase{"a 53-byte record head at end of file", RECORD + RECORD.substr(0, 53)},
        StreamCase{"a 54-byte record head at end of file", RECORD + RECORD.substr(0, 54)},
        StreamCase{"records far longer than a block",
                   RECORD_BODY + LONG_TAIL + HEADING + RECORD_BODY + LONG_TAIL},
        StreamCase{"a long non-record between records", RECORD + "x" + LONG_TAIL + RECORD},
        StreamCase{"a long record without newline", RECORD + RECORD_BODY + std::string(5000, 'q')},
        StreamCase{"zero bytes", RECORD + "\0\0\n"s + RECORD.substr(0, 50) + "\0\0\0\0\n"s + "\0"s + RECORD},
        StreamCase{"CRLF lines",
                   "2024/03/15 0412 33.45  45.123S 123.456W     xAB 4.5 mb\r\n" + HEADING + "\r\n"},
        StreamCase{"newlines only", std::string(200, '\n')},
        StreamCase{"64-byte lines: each ends on the edge of a 64-byte chunk", lines_of_length(64, repeated("RRH", 24))},
        StreamCase{"65-byte lines: a newline at every offset of a chunk", lines_of_length(65, repeated("RRH", 44))},
        StreamCase{"a run starts where a run of the block before ended", lines_of_length(64, STALE_RUN_KINDS)}),
    case_name<StreamCase>);

// The scan on its own: every newline before the end, in order, wherever the
// newlines, the start and the end fall in the chunks.
TEST(NewlineScanTest, FindsExactlyTheNewlinesBetweenStartAndEnd)
{
    constexpr std::size_t SIZE = 2 * SCAN_ALIGNMENT;
    alignas(SCAN_ALIGNMENT) std::array<char, SIZE + SCAN_ALIGNMENT> buffer{};
    for (std::size_t at = 0; at < SIZE; ++at) {
        buffer.fill('x');
        buffer[at] = '\n';
        buffer[(at * 5 + 3) % SIZE] = '\n';
        buffer[SIZE] = '\n'; // past every end: never found
        for (const std::size_t from :
             {std::size_t{0}, std::size_t{1}, SCAN_ALIGNMENT - 1, SCAN_ALIGNMENT, at}) {
            for (const std::size_t end : {from, at, at + 1, SCAN_ALIGNMENT, SIZE - 1, SIZE}) {
                if (end < from) {
                    continue;
                }
                std::vector<std::size_t> expected;
                for (std::size_t i = from; i < end; ++i) {
                    if (buffer[i] == '\n') {
                        expected.push_back(i);
                    }
                }
                std::vector<std::size_t> found;
                NewlineScan scan(buffer.data() + from, buffer.data() + end);
                for (const char *newline; (newline = scan.next()) != nullptr;) {
                    found.push_back(static_cast<std::size_t>(newline - buffer.data()));
                }
                EXPECT_EQ(found, expected) << "newline at " << at << ", from " << from << " to " << end;
            }
        }
    }
}

// A literal check, so a fault shared by the loop and the model shows too.
TEST(StreamTest, LongRecordIsRewrittenOnceAndKeptWhole)
{
    const std::string tail(1000, '#');
    const std::string input = HEADING + RECORD_BODY + tail + "\n" + RECORD;
    const std::string expected = CONVERTED.substr(0, CONVERTED.size() - 1) + tail + "\n" + CONVERTED;
    for (const std::size_t block_size : BLOCK_SIZES) {
        EXPECT_EQ(convert(input, block_size), expected) << "block size " << block_size;
    }
}

TEST(StreamTest, ManyShortRunsOverflowTheWriteQueue)
{
    // Over a thousand separate runs in one block.
    std::string input;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        input += RECORD + HEADING;
        expected += CONVERTED;
    }
    EXPECT_EQ(convert(input, READ_BLOCK_SIZE), expected);
}

// Signals and non-blocking descriptors exist only on POSIX systems.
#if defined(SIGALRM) && defined(O_NONBLOCK)
// A pipe drained slowly by a second thread, so that writes come back short,
// fail with EINTR when a timer signal without SA_RESTART keeps breaking into
// them, or fail with EAGAIN when another process set the pipe non-blocking;
// the output must still arrive whole.
struct SlowPipeCase {
    const char *what;
    bool interrupted;
    bool non_blocking;
};

void PrintTo(const SlowPipeCase &c, std::ostream *out)
{
    *out << c.what;
}

class SlowPipeTest : public testing::TestWithParam<SlowPipeCase> {};

TEST_P(SlowPipeTest, OutputArrivesWhole)
{
    const SlowPipeCase &c = GetParam();
    std::string input;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        input += RECORD + (i % 3 == 0 ? HEADING : "");
        expected += CONVERTED;
    }
    MemoryFile in(input);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
#ifdef F_SETPIPE_SZ
    (void)fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096); // else the system's smallest
#endif
    if (c.non_blocking) {
        ASSERT_EQ(fcntl(pipe_ends[1], F_SETFL, fcntl(pipe_ends[1], F_GETFL) | O_NONBLOCK), 0);
    }

    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_only, nullptr); // the reader never sees it
    std::string received;
    std::thread reader([&] {
        char chunk[1024];
        ssize_t got;
        while ((got = read(pipe_ends[0], chunk, sizeof chunk)) > 0) {
            received.append(chunk, static_cast<std::size_t>(got));
            if (received.size() % 64 == 0) {
                std::this_thread::yield();
            }
        }
    });
    pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);

    struct sigaction on_alarm {};
    on_alarm.sa_handler = [](int) {};
    sigaction(SIGALRM, &on_alarm, nullptr);
    const itimerval every_50us{{0, 50}, {0, 50}};
    if (c.interrupted) {
        setitimer(ITIMER_REAL, &every_50us, nullptr);
    }
    const StreamResult result = convert_stream(in.fd(), pipe_ends[1], 65536);
    const itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
    close(pipe_ends[1]);
    reader.join();
    close(pipe_ends[0]);

    EXPECT_EQ(result, StreamResult::ok);
    EXPECT_EQ(received, expected);
}

INSTANTIATE_TEST_SUITE_P(Pipes, SlowPipeTest,
                         testing::Values(SlowPipeCase{"interrupted by a timer signal", true, false},
                                         SlowPipeCase{"set non-blocking by another process", false, true}),
                         case_name<SlowPipeCase>);
#endif

// A pipe's ends are one-way on every system: reading its write end and
// writing its read end fail.
TEST(StreamTest, ReportsAReadError)
{
    int ends[2];
    ASSERT_TRUE(open_pipe(ends));
    MemoryFile out;
    EXPECT_EQ(convert_stream(ends[1], out.fd(), 64), StreamResult::read_error);
    EXPECT_EQ(out.contents(), "");
    close(ends[0]);
    close(ends[1]);
}

struct WriteErrorCase {
    const char *what;
    std::string input;
    StreamResult result;
};

void PrintTo(const WriteErrorCase &c, std::ostream *out)
{
    *out << c.what;
}

class WriteErrorTest : public testing::TestWithParam<WriteErrorCase> {};

TEST_P(WriteErrorTest, FailsOnlyWhenSomethingIsWritten)
{
    const WriteErrorCase &c = GetParam();
    int ends[2];
    ASSERT_TRUE(open_pipe(ends));
    MemoryFile in(c.input);
    EXPECT_EQ(convert_stream(in.fd(), ends[0], 64), c.result) << c.what;
    close(ends[0]);
    close(ends[1]);
}

INSTANTIATE_TEST_SUITE_P(Inputs, WriteErrorTest,
                         testing::Values(WriteErrorCase{"records", RECORD + RECORD, StreamResult::write_error},
                                         WriteErrorCase{"a long record head", RECORD.substr(0, 60),
                                                        StreamResult::write_error},
                                         WriteErrorCase{"no records", HEADING + HEADING, StreamResult::ok}),
                         case_name<WriteErrorCase>);

} // namespace
