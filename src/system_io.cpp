#include "system_io.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#ifdef _WIN32

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace system_io {
namespace {

// One CRT call moves at most this many bytes.
constexpr std::size_t MAX_TRANSFER = INT_MAX;

std::string utf8_from_wide(const wchar_t *wide)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(size), '\0');
    (void)WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back(); // the terminating zero
    return utf8;
}

std::wstring wide_from_utf8(const std::string &utf8)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (size <= 1) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    (void)MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), size);
    wide.pop_back();
    return wide;
}

// The CRT's checks of a descriptor end the process by default; a closed
// standard output must instead be an ordinary failed call.
void ignore_invalid_parameter(const wchar_t *, const wchar_t *, const wchar_t *, unsigned, uintptr_t) {}

HANDLE handle_of(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

std::ptrdiff_t write_some(int fd, const char *data, std::size_t size)
{
    return _write(fd, data, static_cast<unsigned>(std::min(size, MAX_TRANSFER)));
}

} // namespace

std::vector<std::string> command_line_words(int argc, char *argv[])
{
    (void)_set_invalid_parameter_handler(ignore_invalid_parameter);
    int count = 0;
    wchar_t **const words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words == nullptr) {
        return {argv, argv + argc};
    }
    std::vector<std::string> utf8;
    for (int i = 0; i < count; ++i) {
        utf8.push_back(utf8_from_wide(words[i]));
    }
    (void)LocalFree(words);
    return utf8;
}

void use_binary_output()
{
    (void)_setmode(STANDARD_OUTPUT, _O_BINARY);
}

FileIdentity identify(int fd)
{
    FileIdentity identity;
    const HANDLE handle = handle_of(fd);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return identity;
    }
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_PIPE) {
        identity.is_pipe = true;
        return identity;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (type != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &information) == 0) {
        return identity;
    }
    identity.known = true;
    identity.is_directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    identity.is_regular = !identity.is_directory;
    identity.device = information.dwVolumeSerialNumber;
    identity.file = (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    return identity;
}

int open_input(const std::string &name)
{
    const std::wstring wide = wide_from_utf8(name);
    if (wide.empty()) {
        return -1;
    }
    // Others may go on reading, writing or renaming the file. A directory
    // opens too, so that it is refused as unreadable, as elsewhere.
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        (void)CloseHandle(handle);
    }
    return fd;
}

// The sequential hint went with the open.
void advise_sequential_reading(int) {}

void widen_pipe(int, int) {}

std::ptrdiff_t read_some(int fd, char *into, std::size_t size)
{
    return _read(fd, into, static_cast<unsigned>(std::min(size, MAX_TRANSFER)));
}

void close_input(int fd)
{
    (void)_close(fd);
}

bool close_output(int fd)
{
    if (handle_of(fd) == INVALID_HANDLE_VALUE) {
        return true;
    }
    return _close(fd) == 0;
}

} // namespace system_io

#else

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

bool would_block(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Retries until the system takes something or truly fails.
[[maybe_unused]] std::ptrdiff_t write_some(int fd, const char *data, std::size_t size)
{
    for (;;) {
        const ssize_t written = write(fd, data, std::min(size, MAX_TRANSFER));
        if (written >= 0 || (errno != EINTR && !(would_block(errno) && wait_for(fd, POLLOUT)))) {
            return written;
        }
    }
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
        if (written < 0 && (errno == EINTR || (would_block(errno) && wait_for(fd, POLLOUT)))) {
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

std::vector<std::string> command_line_words(int argc, char *argv[])
{
    return {argv, argv + argc};
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

int open_input(const std::string &name)
{
#ifdef O_CLOEXEC
    return open(name.c_str(), O_RDONLY | O_CLOEXEC);
#else
    const int fd = open(name.c_str(), O_RDONLY);
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
        if (got >= 0 || (errno != EINTR && !(would_block(errno) && wait_for(fd, POLLIN)))) {
            return got;
        }
    }
}

void close_input(int fd)
{
    (void)close(fd);
}

bool close_output(int fd)
{
    return close(fd) == 0 || errno == EINTR || errno == EBADF;
}

} // namespace system_io

#endif

namespace system_io {

bool write_runs(int fd, ByteRun *runs, std::size_t count)
{
#ifdef ROWPATCHER_GATHER_WRITE
    iovec vectors[MAX_VECTORS];
    while (count > 0) {
        const std::size_t batch = std::min(count, MAX_VECTORS);
        for (std::size_t i = 0; i < batch; ++i) {
            vectors[i] = {runs[i].data, runs[i].size};
        }
        if (!write_vectors(fd, vectors, static_cast<int>(batch))) {
            return false;
        }
        runs += batch;
        count -= batch;
    }
    return true;
#else
    if (count == 0) {
        return true;
    }
    // Each run moves down to follow the one before; runs lie in order and
    // never overlap, so nothing still to be written is overwritten.
    char *const start = runs[0].data;
    char *end = start;
    for (std::size_t i = 0; i < count; ++i) {
        if (runs[i].data != end) {
            std::memmove(end, runs[i].data, runs[i].size);
        }
        end += runs[i].size;
    }
    for (const char *next = start; next < end;) {
        const std::ptrdiff_t written = write_some(fd, next, static_cast<std::size_t>(end - next));
        if (written <= 0) {
            return false;
        }
        next += written;
    }
    return true;
#endif
}

} // namespace system_io
