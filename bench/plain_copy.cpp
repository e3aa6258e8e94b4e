// The floor for any filter on this machine: copies FILE to standard output
// with the same block size and pipe size as rowpatcher and no work per line.
//
// Usage: plain_copy FILE

#include "convert_stream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        (void)std::fputs("usage: plain_copy FILE\n", stderr);
        return 2;
    }
    const int input = open(argv[1], O_RDONLY);
    if (input < 0) {
        std::perror(argv[1]);
        return 1;
    }
#ifdef F_SETPIPE_SZ
    (void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, OUTPUT_PIPE_SIZE);
#endif
    const std::unique_ptr<char[]> block(new char[READ_BLOCK_SIZE]);
    ssize_t got;
    while ((got = read(input, block.get(), READ_BLOCK_SIZE)) > 0) {
        for (ssize_t done = 0; done < got;) {
            const ssize_t written =
                write(STDOUT_FILENO, block.get() + done, static_cast<std::size_t>(got - done));
            if (written <= 0) {
                std::perror("plain_copy");
                return 1;
            }
            done += written;
        }
    }
    return got < 0 ? 1 : 0;
}
