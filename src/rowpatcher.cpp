// rowpatcher FILE: writes the record lines of FILE, rewritten into the
// variant column layout, to standard output; every other line is dropped.

#include "convert_stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

constexpr std::size_t MAX_FILENAME_LENGTH = 132;

// A larger pipe means fewer wake-ups of the reader. Where the system cannot
// resize a pipe, or refuses, only speed is lost.
void widen_output_pipe([[maybe_unused]] int fd, [[maybe_unused]] const struct stat &status)
{
#ifdef F_SETPIPE_SZ
    if (S_ISFIFO(status.st_mode)) {
        (void)fcntl(fd, F_SETPIPE_SZ, OUTPUT_PIPE_SIZE);
    }
#endif
}

// Writing into the file being read would destroy it or, appended, feed the
// converted lines back in without end.
bool same_regular_file(const struct stat &output, const struct stat &input)
{
    return S_ISREG(output.st_mode) && output.st_dev == input.st_dev && output.st_ino == input.st_ino;
}

// Asks for aggressive read-ahead; a hint only, where the system takes it.
void advise_sequential_reading([[maybe_unused]] int fd)
{
#ifdef POSIX_FADV_SEQUENTIAL
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

// Some file systems report a failed write only at close. A descriptor that
// was never open has had nothing written to it, so that is not a failure.
bool close_output(int fd)
{
    return close(fd) == 0 || errno == EINTR || errno == EBADF;
}

// The one error channel: one line on standard error, then status 1. A failure
// to write the message itself has nowhere left to be reported.
int refuse(const std::string &message)
{
    (void)std::fputs(message.c_str(), stderr);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        return refuse("Usage: rowpatcher <inputfile>\n");
    }
    const std::string program = argv[0];
    const std::string filename = argv[1];

    if (filename.size() > MAX_FILENAME_LENGTH) {
        return refuse(program + ": filename too long.  Abort.\n");
    }
    // Standard output is looked at before the open: were it closed, the open
    // would hand out descriptor 1, which is then the input, not an output.
    struct stat output_status {};
    const bool output_is_open = fstat(STDOUT_FILENO, &output_status) == 0;

    const int input = open(filename.c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        return refuse(program + ": cannot open input file " + filename + ".  Abort.\n");
    }
    struct stat input_status {};
    if (fstat(input, &input_status) == 0) {
        if (output_is_open && same_regular_file(output_status, input_status)) {
            return refuse(program + ": input file " + filename + " is the output file.  Abort.\n");
        }
        // Some systems let a directory be read as bytes; it is no catalogue.
        if (S_ISDIR(input_status.st_mode)) {
            return refuse(program + ": error reading input file " + filename + ".  Abort.\n");
        }
    }
    advise_sequential_reading(input);
    if (output_is_open) {
        widen_output_pipe(STDOUT_FILENO, output_status);
    }

    StreamResult result = convert_stream(input, STDOUT_FILENO);
    (void)close(input);
    if (result == StreamResult::ok && !close_output(STDOUT_FILENO)) {
        result = StreamResult::write_error;
    }

    switch (result) {
    case StreamResult::ok:
        return 0;
    case StreamResult::read_error:
        return refuse(program + ": error reading input file " + filename + ".  Abort.\n");
    case StreamResult::write_error:
        return refuse(program + ": error writing output.  Abort.\n");
    }
    return 1;
}
