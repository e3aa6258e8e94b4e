// rowpatcher FILE: writes the record lines of FILE, rewritten into the
// variant column layout, to standard output; every other line is dropped.

#include "convert_stream.hpp"
#include "system_io.hpp"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr std::size_t MAX_FILENAME_LENGTH = 132;

// Writing into the file being read would destroy it or, appended, feed the
// converted lines back in without end. Where the system cannot tell what
// standard output is, it is taken to be another file.
bool same_regular_file(const system_io::FileIdentity &output, const system_io::FileIdentity &input)
{
    return output.known && input.known && output.is_regular && output.device == input.device &&
           output.file == input.file;
}

// The one error channel: one line on standard error, then status 1. The line
// goes in one write where it fits a fixed buffer, so that nothing can come
// between its pieces, and in pieces where it does not (a very long name the
// program was invoked by). A failure to write it has nowhere left to be
// reported.
int refuse(std::initializer_list<const char *> pieces)
{
    char message[1024];
    std::size_t length = 0;
    for (const char *const piece : pieces) {
        const std::size_t size = std::strlen(piece);
        if (size >= sizeof message - length) {
            for (const char *const each : pieces) {
                (void)std::fputs(each, stderr);
            }
            return 1;
        }
        std::memcpy(message + length, piece, size);
        length += size;
    }
    message[length] = '\0';
    (void)std::fputs(message, stderr);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    const system_io::CommandLine words = system_io::command_line(argc, argv);
    if (words.count != 2) {
        return refuse({"Usage: rowpatcher <inputfile>\n"});
    }
    const char *const program = words.program;
    const char *const filename = words.argument;

    if (std::strlen(filename) > MAX_FILENAME_LENGTH) {
        return refuse({program, ": filename too long.  Abort.\n"});
    }
    system_io::use_binary_output();
    // Standard output is looked at before the open: were it closed, the open
    // would hand out descriptor 1, which is then the input, not an output.
    const system_io::FileIdentity output = system_io::identify(system_io::STANDARD_OUTPUT);

    const int input = system_io::open_input(filename);
    if (input < 0) {
        return refuse({program, ": cannot open input file ", filename, ".  Abort.\n"});
    }
    const system_io::FileIdentity input_identity = system_io::identify(input);
    if (same_regular_file(output, input_identity)) {
        return refuse({program, ": input file ", filename, " is the output file.  Abort.\n"});
    }
    // Some systems let a directory be read as bytes; it is no catalogue.
    if (input_identity.is_directory) {
        return refuse({program, ": error reading input file ", filename, ".  Abort.\n"});
    }
    system_io::advise_sequential_reading(input);
    if (output.is_pipe) {
        system_io::widen_pipe(system_io::STANDARD_OUTPUT, OUTPUT_PIPE_SIZE);
    }

    // One block and its runs, for the whole run; static, so nothing is
    // allocated and pages are touched only as they are used. The buffer
    // starts BUFFER_PAGE_OFFSET into a page, wherever the linker puts it.
    constexpr std::size_t BUFFER_SIZE = BlockConverter::buffer_size(READ_BLOCK_SIZE);
    alignas(MEMORY_PAGE_SIZE) static char storage[BUFFER_PAGE_OFFSET + BUFFER_SIZE];
    static ByteRun runs[BlockConverter::max_runs(READ_BLOCK_SIZE)];
    BlockConverter converter({storage + BUFFER_PAGE_OFFSET, BUFFER_SIZE}, runs);

    StreamResult result = convert_stream(input, system_io::STANDARD_OUTPUT, converter);
    system_io::close_input(input);
    if (result == StreamResult::ok && !system_io::close_output(system_io::STANDARD_OUTPUT)) {
        result = StreamResult::write_error;
    }

    switch (result) {
    case StreamResult::ok:
        return 0;
    case StreamResult::read_error:
        return refuse({program, ": error reading input file ", filename, ".  Abort.\n"});
    case StreamResult::write_error:
        return refuse({program, ": error writing output.  Abort.\n"});
    }
    return 1;
}
