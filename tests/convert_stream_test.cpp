#include "convert_stream.hpp"
#include "block_harness.hpp"
#include "cases.hpp"
#include "converted_size.hpp"
#include "line_model.hpp"
#include "memory_file.hpp"
#include "newline_scan.hpp"
#include "system_io.hpp"

#include "case_name.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#if __has_include(<sys/time.h>)
#include <sys/time.h>
#endif
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::string_literals;

namespace {

const std::string RECORD = "2024/03/15 0412 33.45  45.123S 123.456W     xAB 4.5 mb Fiji\n";
const std::string CONVERTED = "2024/03/15_0412 33.45 -45.123 -123.456   33 AB  4.5 mb Fiji\n";
const std::string HEADING = "Date       Time        Lat      Lon     Dep    Mag  Region\n";

// Block sizes around the width that decides a record, plus the program's.
const std::vector<std::size_t> BLOCK_SIZES = {1, 2, 3, 7, 53, 54, 55, 61, 64, 4096, READ_BLOCK_SIZE};

class StreamTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(StreamTest, GivesTheCaseOutputAtEveryBlockSize)
{
    const ConversionCase &c = GetParam();
    ASSERT_EQ(convert_whole_lines(c.input), c.output) << "the plain model disagrees with the case";
    for (const std::size_t block_size : BLOCK_SIZES) {
        EXPECT_EQ(convert_in_blocks(c.input, block_size), c.output) << c.what << ", block size " << block_size;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamTest, testing::ValuesIn(cases_of()), case_name<ConversionCase>);

// The size found without converting is the size converted, wherever the
// input starts against the scan's chunks. Under AddressSanitizer the bytes
// before the input are unreadable, and those after it lie outside its block.
TEST_P(StreamTest, ConvertedSizeIsTheSizeOfTheConversion)
{
    const ConversionCase &c = GetParam();
    for (std::size_t offset = 0; offset <= SCAN_ALIGNMENT; ++offset) {
        const auto memory = std::make_unique<char[]>(offset + c.input.size());
        c.input.copy(memory.get() + offset, c.input.size());
        ASAN_POISON_MEMORY_REGION(memory.get(), offset);
        EXPECT_EQ(converted_size(memory.get() + offset, c.input.size()), c.output.size())
            << c.what << ", " << offset << " bytes into its block";
        ASAN_UNPOISON_MEMORY_REGION(memory.get(), offset);
    }
}

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

// The program's loop, on a file and into one.
std::string convert_file(const std::string &input, std::size_t block_size)
{
    MemoryFile in(input);
    MemoryFile out;
    OwnedConverter converter(block_size);
    EXPECT_EQ(convert_stream(in.fd(), out.fd(), *converter), StreamResult::ok);
    return out.contents();
}

TEST(ConvertStreamTest, WritesMoreRunsThanOneGatherWriteTakes)
{
    // Over a thousand separate runs in one block.
    std::string input;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        input += RECORD + HEADING;
        expected += CONVERTED;
    }
    EXPECT_EQ(convert_file(input, READ_BLOCK_SIZE), expected);
}

// Signals and non-blocking descriptors exist only on POSIX systems.
#if defined(SIGALRM) && defined(O_NONBLOCK)
// A pipe whose other end a second thread serves slowly: the program's end
// must still move every byte, whether its calls come back short, fail with
// EINTR when a timer signal without SA_RESTART keeps breaking into them or
// into the wait for the pipe, or fail with EAGAIN when another process set
// the pipe non-blocking.
struct SlowPipeCase {
    const char *what;
    bool interrupted;
    bool non_blocking;
};

void PrintTo(const SlowPipeCase &c, std::ostream *out)
{
    *out << c.what;
}

class SlowPipeTest : public testing::TestWithParam<SlowPipeCase> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(pipe(ends_), 0);
#ifdef F_SETPIPE_SZ
        (void)fcntl(ends_[1], F_SETPIPE_SZ, 4096); // else the system's smallest
#endif
    }
    void TearDown() override
    {
        finish();
        close(ends_[0]);
    }

    // Stops the timer and waits for the other end's thread.
    void finish()
    {
        const itimerval stop{};
        setitimer(ITIMER_REAL, &stop, nullptr);
        if (other_end_.joinable()) {
            other_end_.join();
        }
    }

    // Serves the other end in a thread that never sees the timer signal, then
    // makes the program's END non-blocking and starts the timer, as the case
    // asks.
    template <class Serve> void serve(int end, Serve serve_other_end)
    {
        sigset_t alarm_only;
        sigemptyset(&alarm_only);
        sigaddset(&alarm_only, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm_only, nullptr);
        other_end_ = std::thread(serve_other_end);
        pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);

        if (GetParam().non_blocking) {
            ASSERT_EQ(fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK), 0);
        }
        struct sigaction on_alarm {};
        on_alarm.sa_handler = [](int) {};
        sigaction(SIGALRM, &on_alarm, nullptr);
        const itimerval every_50us{{0, 50}, {0, 50}};
        if (GetParam().interrupted) {
            setitimer(ITIMER_REAL, &every_50us, nullptr);
        }
    }

    int ends_[2] = {-1, -1};
    std::thread other_end_;
};

TEST_P(SlowPipeTest, OutputArrivesWhole)
{
    std::string input;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        input += RECORD + (i % 3 == 0 ? HEADING : "");
        expected += CONVERTED;
    }
    MemoryFile in(input);
    std::string received;
    serve(ends_[1], [&] {
        char chunk[1024];
        ssize_t got;
        while ((got = read(ends_[0], chunk, sizeof chunk)) > 0) {
            received.append(chunk, static_cast<std::size_t>(got));
            if (received.size() % 64 == 0) {
                std::this_thread::yield();
            }
        }
    });
    OwnedConverter converter(65536);
    const StreamResult result = convert_stream(in.fd(), ends_[1], *converter);
    close(ends_[1]);
    finish();

    EXPECT_EQ(result, StreamResult::ok);
    EXPECT_EQ(received, expected);
}

TEST_P(SlowPipeTest, InputArrivesWhole)
{
    std::string sent;
    for (int i = 0; i < 40000; ++i) {
        sent += std::to_string(i) + (i % 7 == 0 ? "\n" : " ");
    }
    serve(ends_[0], [&] {
        for (std::size_t at = 0; at < sent.size(); at += 4096) {
            const std::size_t size = std::min<std::size_t>(4096, sent.size() - at);
            if (write(ends_[1], sent.data() + at, size) != static_cast<ssize_t>(size)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        close(ends_[1]);
    });
    std::string received;
    std::array<char, 65536> block;
    std::ptrdiff_t got;
    while ((got = system_io::read_some(ends_[0], block.data(), block.size())) > 0) {
        received.append(block.data(), static_cast<std::size_t>(got));
    }
    // A writer left behind by a failed read is let go, not waited for.
    (void)std::signal(SIGPIPE, SIG_IGN);
    close(ends_[0]);
    ends_[0] = -1;
    finish();
    EXPECT_EQ(got, 0) << "a read failed";
    EXPECT_EQ(received, sent);
}

INSTANTIATE_TEST_SUITE_P(Pipes, SlowPipeTest,
                         testing::Values(SlowPipeCase{"interrupted by a timer signal", true, false},
                                         SlowPipeCase{"set non-blocking by another process", false, true},
                                         SlowPipeCase{"non-blocking, its waits interrupted", true, true}),
                         case_name<SlowPipeCase>);
#endif

// A pipe's ends are one-way on every system: reading its write end and
// writing its read end fail.
TEST(ConvertStreamTest, ReportsAReadError)
{
    int ends[2];
    ASSERT_TRUE(open_pipe(ends));
    MemoryFile out;
    OwnedConverter converter(64);
    EXPECT_EQ(convert_stream(ends[1], out.fd(), *converter), StreamResult::read_error);
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
    OwnedConverter converter(64);
    EXPECT_EQ(convert_stream(in.fd(), ends[0], *converter), c.result) << c.what;
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
