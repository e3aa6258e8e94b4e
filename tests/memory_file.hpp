// An anonymous file that feeds the block loop or catches its output; closed
// with the object. In memory where the system has memfd_create, otherwise a
// binary temporary file that the C library removes. Aborts if the system
// will not make one. Also a pipe, in binary mode on every system.
#pragma once

#include <fcntl.h>
#include <unistd.h>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif
#ifdef _WIN32
#include <io.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

class MemoryFile {
public:
    explicit MemoryFile(std::string_view contents = {})
    {
#ifdef MFD_CLOEXEC
        fd_ = memfd_create("rowpatcher-test", MFD_CLOEXEC);
#else
        file_ = std::tmpfile();
        fd_ = file_ != nullptr ? fileno(file_) : -1;
#endif
        if (fd_ < 0 ||
            write(fd_, contents.data(), static_cast<unsigned>(contents.size())) !=
                static_cast<int>(contents.size()) ||
            lseek(fd_, 0, SEEK_SET) != 0) {
            std::abort();
        }
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;
    ~MemoryFile()
    {
        if (file_ != nullptr) {
            (void)std::fclose(file_);
        } else {
            close(fd_);
        }
    }

    int fd() const { return fd_; }

    // Everything written so far; leaves the offset at the end.
    std::string contents() const
    {
        std::string all;
        char chunk[65536];
        int got;
        if (lseek(fd_, 0, SEEK_SET) != 0) {
            std::abort();
        }
        while ((got = static_cast<int>(read(fd_, chunk, sizeof chunk))) > 0) {
            all.append(chunk, static_cast<std::size_t>(got));
        }
        return all;
    }

private:
    std::FILE *file_ = nullptr;
    int fd_ = -1;
};

// Both ends of a new pipe; false if the system will not make one.
inline bool open_pipe(int ends[2])
{
#ifdef _WIN32
    return _pipe(ends, 65536, _O_BINARY) == 0;
#else
    return pipe(ends) == 0;
#endif
}
