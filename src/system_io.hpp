// Every call to the operating system that the program makes, behind one
// small interface with a body per system: system_io_posix.cpp and
// system_io_windows.cpp. Descriptors are the C library's small integers on
// both: POSIX descriptors, or the CRT's on Windows. Every byte goes through
// unchanged: no text mode anywhere. Nothing here allocates but where a
// system's own calls need it.
#pragma once

#include "byte_run.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace system_io {

inline constexpr int STANDARD_OUTPUT = 1;

// The command line: how many words it has, the name the program was invoked
// by, and the first argument (null when there is none). On Windows the words
// are taken from the wide command line and given as UTF-8, so that a name in
// any script survives; elsewhere they are argv's bytes as they are. They
// live as long as the process.
struct CommandLine {
    int count = 0;
    const char *program = "";
    const char *argument = nullptr;
};
CommandLine command_line(int argc, char *argv[]);

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
int open_input(const char *name);

// Hints at reading from start to end; a no-op where the system has no hint.
void advise_sequential_reading(int fd);

// Asks for a pipe of `size` bytes: fewer wake-ups of its reader. Where the
// system cannot resize a pipe, or refuses, only speed is lost.
void widen_pipe(int fd, int size);

// Reads up to `size` bytes: the count, 0 at the end, -1 on an error. An
// interrupted call is retried, and a descriptor that another process set to
// non-blocking is waited on.
std::ptrdiff_t read_some(int fd, char *into, std::size_t size);

// Writes every run, in order and in full: by gather writes where the system
// has them, else the runs are first moved together within their buffer
// (whose bytes between them are then lost) and written at once. Short writes
// and interruptions are carried on from, and a non-blocking descriptor is
// waited on until it takes more. False on the first real failure, after
// which nothing more is written.
bool write_runs(int fd, std::span<const ByteRun> runs);

void close_input(int fd);

// Closes standard output and reports whether the bytes written are safe:
// some file systems report a failed write only here. A descriptor that was
// never open has had nothing written to it, so that is no failure.
bool close_output(int fd);

} // namespace system_io
