"""The record lines of a fixed-column catalogue, rewritten into the variant
layout; every other line is dropped. The same conversion, byte for byte, as
the rowpatcher program.

    convert(data)                       a whole catalogue held in memory
    Converter().convert(chunk)          one fed in chunks, with counts
    copy_stream(source, destination)    from one binary file to another

`python -m rowpatcher FILE` is the program itself.
"""

from ._rowpatcher import Converter, __version__, convert, copy_stream

__all__ = ["Converter", "convert", "copy_stream", "__version__"]
