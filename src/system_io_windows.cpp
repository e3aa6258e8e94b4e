// The system calls of Windows, through the Windows API and the C runtime's
// descriptors, which are opened and used in binary mode only.
#include "system_io.hpp"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace system_io {
namespace {

// One CRT call moves at most this many bytes.
constexpr std::size_t MAX_TRANSFER = INT_MAX;

// WIDE as UTF-8 in storage of the C library's, or null when it will not
// convert or the storage cannot be had.
char *utf8_from_wide(const wchar_t *wide)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return nullptr;
    }
    auto *const utf8 = static_cast<char *>(std::malloc(static_cast<std::size_t>(size)));
    if (utf8 != nullptr && WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, size, nullptr, nullptr) != size) {
        std::free(utf8);
        return nullptr;
    }
    return utf8;
}

// The CRT's checks of a descriptor end the process by default; a closed
// standard output must instead be an ordinary failed call.
void ignore_invalid_parameter(const wchar_t *, const wchar_t *, const wchar_t *, unsigned, uintptr_t) {}

HANDLE handle_of(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

} // namespace

CommandLine command_line(int argc, char *argv[])
{
    (void)_set_invalid_parameter_handler(ignore_invalid_parameter);
    CommandLine words;
    int count = 0;
    wchar_t **const wide = CommandLineToArgvW(GetCommandLineW(), &count);
    char *const program = wide != nullptr && count > 0 ? utf8_from_wide(wide[0]) : nullptr;
    char *const argument = wide != nullptr && count > 1 ? utf8_from_wide(wide[1]) : nullptr;
    if (wide == nullptr || (count > 0 && program == nullptr) || (count > 1 && argument == nullptr)) {
        // The C runtime's own words, in the ANSI code page.
        std::free(program);
        std::free(argument);
        words.count = argc;
        words.program = argc > 0 ? argv[0] : "";
        words.argument = argc > 1 ? argv[1] : nullptr;
    } else {
        words.count = count;
        words.program = program != nullptr ? program : "";
        words.argument = argument;
    }
    if (wide != nullptr) {
        (void)LocalFree(wide);
    }
    return words;
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

int open_input(const char *name)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    auto *const wide = size > 1 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(size)))
                                : nullptr;
    if (wide == nullptr || MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, size) != size) {
        std::free(wide);
        return -1;
    }
    // Others may go on reading, writing or renaming the file. A directory
    // opens too, so that it is refused as unreadable, as elsewhere.
    const HANDLE handle = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN,
                                      nullptr);
    std::free(wide);
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

// Windows has no gather write: the runs are moved together and written at
// once, short writes carried on from.
bool write_runs(int fd, std::span<const ByteRun> runs)
{
    const std::span<const char> bytes = compact_runs(runs);
    for (const char *next = bytes.data(), *const end = next + bytes.size(); next < end;) {
        const int written = _write(fd, next, static_cast<unsigned>(std::min(static_cast<std::size_t>(end - next), MAX_TRANSFER)));
        if (written <= 0) {
            return false;
        }
        next += written;
    }
    return true;
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
