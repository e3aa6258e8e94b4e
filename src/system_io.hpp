// Every call to the operating system that the program makes, behind one
// small interface with a POSIX body and a Windows body. Descriptors are the C
// library's small integers on both: POSIX descriptors, or the CRT's on
// Windows. Every byte goes through unchanged: no text mode anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace system_io {

inline constexpr int STANDARD_OUTPUT = 1;

// The command-line words, the invocation name first. On Windows they are
// taken from the wide command line and given as UTF-8, so that a name in any
// script survives; elsewhere they are argv's bytes as they are.
std::vector<std::string> command_line_words(int argc, char *argv[]);

// Standard output carries the converted bytes exactly: no line ending is
// translated and no end-of-file byte is honoured.
void use_binary_output();

// What the front end needs to know of an open descriptor.
struct FileIdentity {
    bool known = false; // false where the system cannot tell (closed, a console, an error)
    bool is_regular = false;
    bool is_directory = false;
    bool is_pipe = false;
    std::uint64_t device = 0; // device number, or the volume's serial number
    std::uint64_t file = 0;   // inode number, or the file index on that volume
};
FileIdentity identify(int fd);

// Opens NAME (bytes; UTF-8 on Windows) for reading, in binary mode and not
// inherited by child processes. Returns -1 when it cannot.
int open_input(const std::string &name);

// Hints at reading from start to end; a no-op where the system has no hint.
void advise_sequential_reading(int fd);

// Asks for a pipe of `size` bytes: fewer wake-ups of its reader. Where the
// system cannot resize a pipe, or refuses, only speed is lost.
void widen_pipe(int fd, int size);

// Reads up to `size` bytes: the count, 0 at the end, -1 on an error. An
// interrupted call is retried, and a descriptor that another process set to
// non-blocking is waited on.
std::ptrdiff_t read_some(int fd, char *into, std::size_t size);

// A stretch of output bytes in a writable buffer.
struct ByteRun {
    char *data;
    std::size_t size;
};

// Writes every run, in order and in full: one gather write where the system
// has it, else the runs are first moved together within their buffer (whose
// bytes between them are then lost) and written at once. Short writes and
// interruptions are carried on from, and a non-blocking descriptor is waited
// on until it takes more. False on the first real failure.
bool write_runs(int fd, ByteRun *runs, std::size_t count);

void close_input(int fd);

// Closes standard output and reports whether the bytes written are safe:
// some file systems report a failed write only here. A descriptor that was
// never open has had nothing written to it, so that is no failure.
bool close_output(int fd);

} // namespace system_io
