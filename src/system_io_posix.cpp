// The system calls of a POSIX system. Features that not every such system
// has are used where their own macro or header says they are there.
#include "system_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

// A gather write sends the kept runs of a block without moving them; the
// portable build goes without, so that the other path is tested too.
#if __has_include(<sys/uio.h>) && !defined(ROWPATCHER_PORTABLE)
#include <sys/uio.h>
#define ROWPATCHER_GATHER_WRITE 1
#endif

namespace system_io {
namespace {

// One call moves at most this many bytes, so that a count fits ssize_t.
constexpr std::size_t MAX_TRANSFER = SSIZE_MAX;

// Waits until FD is ready for EVENTS. A non-blocking descriptor is shared
// with whoever set it so; its flags are theirs, so the wait is ours.
bool wait_for(int fd, short events)
{
    pollfd watched{fd, events, 0};
    for (;;) {
        const int ready = poll(&watched, 1, -1);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// True when a call that failed with ERROR is to be made again: it was
// interrupted, or FD would have blocked and is now ready for EVENTS.
bool try_again(int error, int fd, short events)
{
    return error == EINTR || ((error == EAGAIN || error == EWOULDBLOCK) && wait_for(fd, events));
}

#ifdef ROWPATCHER_GATHER_WRITE
// One writev takes at most IOV_MAX runs; POSIX promises at least 16.
#ifdef IOV_MAX
constexpr std::size_t MAX_VECTORS = std::min(IOV_MAX, 1024);
#else
constexpr std::size_t MAX_VECTORS = 16;
#endif

bool write_vectors(int fd, iovec *next, int left)
{
    while (left > 0) {
        const ssize_t written = writev(fd, next, left);
        if (written < 0 && try_again(errno, fd, POLLOUT)) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        // A short write: skip the runs written in full, trim the next.
        auto done = static_cast<std::size_t>(written);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char *>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}
#endif

} // namespace

CommandLine command_line(int argc, char *argv[])
{
    CommandLine words;
    words.count = argc;
    if (argc > 0 && argv[0] != nullptr) {
        words.program = argv[0];
    }
    if (argc > 1) {
        words.argument = argv[1];
    }
    return words;
}

void use_binary_output() {}

FileIdentity identify(int fd)
{
    FileIdentity identity;
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return identity;
    }
    identity.known = true;
    identity.is_regular = S_ISREG(status.st_mode);
    identity.is_directory = S_ISDIR(status.st_mode);
    identity.is_pipe = S_ISFIFO(status.st_mode);
    identity.device = static_cast<std::uint64_t>(status.st_dev);
    identity.file = static_cast<std::uint64_t>(status.st_ino);
    return identity;
}

int open_input(const char *name)
{
#ifdef O_CLOEXEC
    return open(name, O_RDONLY | O_CLOEXEC);
#else
    const int fd = open(name, O_RDONLY);
    if (fd >= 0) {
        (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return fd;
#endif
}

void advise_sequential_reading([[maybe_unused]] int fd)
{
#ifdef POSIX_FADV_SEQUENTIAL
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

void widen_pipe([[maybe_unused]] int fd, [[maybe_unused]] int size)
{
#ifdef F_SETPIPE_SZ
    (void)fcntl(fd, F_SETPIPE_SZ, size);
#endif
}

std::ptrdiff_t read_some(int fd, char *into, std::size_t size)
{
    for (;;) {
        const ssize_t got = read(fd, into, std::min(size, MAX_TRANSFER));
        if (got >= 0 || !try_again(errno, fd, POLLIN)) {
            return got;
        }
    }
}

#ifdef ROWPATCHER_GATHER_WRITE
bool write_runs(int fd, std::span<const ByteRun> runs)
{
    iovec vectors[MAX_VECTORS];
    while (!runs.empty()) {
        const std::size_t batch = std::min(runs.size(), MAX_VECTORS);
        for (std::size_t i = 0; i < batch; ++i) {
            vectors[i] = {runs[i].data, runs[i].size};
        }
        if (!write_vectors(fd, vectors, static_cast<int>(batch))) {
            return false;
        }
        runs = runs.subspan(batch);
    }
    return true;
}
#else
bool write_runs(int fd, std::span<const ByteRun> runs)
{
    const std::span<const char> bytes = compact_runs(runs);
    for (const char *next = bytes.data(), *const end = next + bytes.size(); next < end;) {
        const ssize_t written = write(fd, next, std::min(static_cast<std::size_t>(end - next), MAX_TRANSFER));
        if (written < 0 && try_again(errno, fd, POLLOUT)) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
    }
    return true;
}
#endif

void close_input(int fd)
{
    (void)close(fd);
}

bool close_output(int fd)
{
    return close(fd) == 0 || errno == EINTR || errno == EBADF;
}

} // namespace system_io
