// rowpatcher FILE: writes the record lines of FILE, rewritten into the
// variant column layout, to standard output; every other line is dropped.

#include "convert_stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t MAX_FILENAME_LENGTH = 132;

// A larger pipe means fewer wake-ups of the reader; failure costs only speed.
void widen_output_pipe(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode)) {
        (void)fcntl(fd, F_SETPIPE_SZ, OUTPUT_PIPE_SIZE);
    }
}

// Some file systems report a failed write only at close. A descriptor that
// was never open has had nothing written to it, so that is not a failure.
bool close_output(int fd)
{
    return close(fd) == 0 || errno == EINTR || errno == EBADF;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("Usage: rowpatcher <inputfile>\n", stderr);
        return 1;
    }
    const char *const program = argv[0];
    const char *const filename = argv[1];

    if (std::strlen(filename) > MAX_FILENAME_LENGTH) {
        std::fprintf(stderr, "%s: filename too long.  Abort.\n", program);
        return 1;
    }
    const int input = open(filename, O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        std::fprintf(stderr, "%s: cannot open input file %s.  Abort.\n", program, filename);
        return 1;
    }
    (void)posix_fadvise(input, 0, 0, POSIX_FADV_SEQUENTIAL);
    widen_output_pipe(STDOUT_FILENO);

    StreamResult result = convert_stream(input, STDOUT_FILENO);
    (void)close(input);
    if (result == StreamResult::ok && !close_output(STDOUT_FILENO)) {
        result = StreamResult::write_error;
    }

    switch (result) {
    case StreamResult::ok:
        return 0;
    case StreamResult::read_error:
        std::fprintf(stderr, "%s: error reading input file %s.  Abort.\n", program, filename);
        return 1;
    case StreamResult::write_error:
        std::fprintf(stderr, "%s: error writing output.  Abort.\n", program);
        return 1;
    }
    return 1;
}
