// An anonymous file that feeds the block loop or catches its output; closed
// with the object. In memory where the system has memfd_create, otherwise an
// unlinked temporary file. Aborts if the system will not make one.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

class MemoryFile {
public:
    explicit MemoryFile(std::string_view contents = {}) : fd_(anonymous_file())
    {
        if (fd_ < 0 ||
            write(fd_, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()) ||
            lseek(fd_, 0, SEEK_SET) != 0) {
            std::abort();
        }
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;
    ~MemoryFile() { close(fd_); }

    int fd() const { return fd_; }

    std::string contents() const
    {
        std::string all;
        char chunk[65536];
        ssize_t got;
        for (off_t at = 0; (got = pread(fd_, chunk, sizeof chunk, at)) > 0; at += got) {
            all.append(chunk, static_cast<std::size_t>(got));
        }
        return all;
    }

private:
    static int anonymous_file()
    {
#ifdef MFD_CLOEXEC
        return memfd_create("rowpatcher-test", MFD_CLOEXEC);
#else
        char name[] = "/tmp/rowpatcher-test-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) {
            (void)unlink(name);
        }
        return fd;
#endif
    }

    int fd_;
};
