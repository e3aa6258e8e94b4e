// rowpatcher FILE: writes the record lines of FILE, rewritten into the
// variant column layout, to standard output; every other line is dropped.

#include "convert_stream.hpp"
#include "system_io.hpp"

#include <cstdio>
#include <string>
#include <vector>

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

// The one error channel: one line on standard error, then status 1. A failure
// to write the message itself has nowhere left to be reported.
int refuse(const std::string &message)
{
    (void)std::fputs(message.c_str(), stderr);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::vector<std::string> words = system_io::command_line_words(argc, argv);
    if (words.size() != 2) {
        return refuse("Usage: rowpatcher <inputfile>\n");
    }
    const std::string &program = words[0];
    const std::string &filename = words[1];

    if (filename.size() > MAX_FILENAME_LENGTH) {
        return refuse(program + ": filename too long.  Abort.\n");
    }
    system_io::use_binary_output();
    // Standard output is looked at before the open: were it closed, the open
    // would hand out descriptor 1, which is then the input, not an output.
    const system_io::FileIdentity output = system_io::identify(system_io::STANDARD_OUTPUT);

    const int input = system_io::open_input(filename);
    if (input < 0) {
        return refuse(program + ": cannot open input file " + filename + ".  Abort.\n");
    }
    const system_io::FileIdentity input_identity = system_io::identify(input);
    if (same_regular_file(output, input_identity)) {
        return refuse(program + ": input file " + filename + " is the output file.  Abort.\n");
    }
    // Some systems let a directory be read as bytes; it is no catalogue.
    if (input_identity.is_directory) {
        return refuse(program + ": error reading input file " + filename + ".  Abort.\n");
    }
    system_io::advise_sequential_reading(input);
    if (output.is_pipe) {
        system_io::widen_pipe(system_io::STANDARD_OUTPUT, OUTPUT_PIPE_SIZE);
    }

    StreamResult result = convert_stream(input, system_io::STANDARD_OUTPUT);
    system_io::close_input(input);
    if (result == StreamResult::ok && !system_io::close_output(system_io::STANDARD_OUTPUT)) {
        result = StreamResult::write_error;
    }

    switch (result) {
    case StreamResult::ok:
        return 0;
    case StreamResult::read_error:
        return refuse(program + ": error reading input file " + filename + ".  Abort.\n");
    case StreamResult::write_error:
        return refuse(program + ": error writing output.  Abort.\n");
    }
    return 1;
}
