"""The Python package's side of bench/run; prints milliseconds.

    python_convert.py copy FILE      copy_stream from FILE to /dev/null, both unbuffered binary files
    python_convert.py convert FILE   FILE held in memory: bytes(view), the floor for any function
                                     that returns new bytes, then convert(); "FLOOR CONVERT"
    python_convert.py idle           the interpreter with the package imported, for its memory

The package comes from PYTHONPATH."""

import sys
import time

import rowpatcher


def milliseconds(start: float) -> int:
    return round((time.perf_counter() - start) * 1000)


mode, *files = sys.argv[1:]
if mode == "copy":
    with open(files[0], "rb", buffering=0) as source, open("/dev/null", "wb", buffering=0) as destination:
        start = time.perf_counter()
        rowpatcher.copy_stream(source, destination)
        print(milliseconds(start))
elif mode == "convert":
    with open(files[0], "rb") as file:
        data = file.read()
    view = memoryview(data)
    bytes(view)  # the first allocation of this size costs more, whatever makes it
    start = time.perf_counter()
    floor = bytes(view)
    floor_ms = milliseconds(start)
    del floor
    start = time.perf_counter()
    converted = rowpatcher.convert(data)
    print(floor_ms, milliseconds(start))
elif mode != "idle":
    sys.exit(__doc__)
