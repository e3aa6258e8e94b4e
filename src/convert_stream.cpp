#include "convert_stream.hpp"

#include "system_io.hpp"

StreamResult convert_stream(int input_fd, int output_fd, BlockConverter &converter)
{
    for (;;) {
        const std::ptrdiff_t got = system_io::read_some(input_fd, converter.next_block(), converter.block_size());
        if (got < 0) {
            return StreamResult::read_error; // everything before it is written
        }
        if (got == 0) {
            return StreamResult::ok;
        }
        if (!system_io::write_runs(output_fd, converter.convert(static_cast<std::size_t>(got)))) {
            return StreamResult::write_error;
        }
    }
}
